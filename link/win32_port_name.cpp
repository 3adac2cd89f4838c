#include "link/win32_port_name.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

#include "link/serial_link.h"

namespace kelvo {

namespace {
// COMn, any n, any case.
bool isComName(const std::string& name) {
    if (name.size() < 4) return false;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return false;
    }
    return std::all_of(name.begin() + 3, name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}
}  // namespace

std::string win32PortPath(const std::string& name) {
    return isComName(name) ? "\\\\.\\" + name : name;
}

std::string listSerialPorts(const std::string& /*root*/) {
    // Every DOS device name the system knows, each ended by a NUL, the list by a second NUL.
    std::vector<char> names(65536);
    const DWORD length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    std::vector<std::string> ports;
    for (std::size_t at = 0; at < length && names[at] != '\0';) {
        const std::string name(names.data() + at);
        if (isComName(name)) ports.push_back(name);
        at += name.size() + 1;
    }
    std::sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
        return std::atoi(a.c_str() + 3) < std::atoi(b.c_str() + 3);
    });
    return describePorts(ports);
}

std::string portGroup(const char* /*name*/) {
    return "";  // Windows has no device groups: a port is busy or free
}

}  // namespace kelvo
