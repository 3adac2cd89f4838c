#include "update/image_file.h"

#include <sys/stat.h>

namespace kelvo {

HexFile openHexFile(const char* path) {
    HexFile file(std::fopen(path, "rb"));
    struct stat info {};
    if (file && fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode)) file.reset();
    return file;
}

}  // namespace kelvo
