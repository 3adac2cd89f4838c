#include "link/win32_port_name.h"

#include <cctype>

namespace kelvo {

std::string win32PortPath(const std::string& name) {
    if (name.size() < 4) return name;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return name;
    }
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(name[i])) == 0) return name;
    }
    return "\\\\.\\" + name;
}

}  // namespace kelvo
