#pragma once

#include <cstdio>
#include <memory>

namespace kelvo {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using HexFile = std::unique_ptr<std::FILE, FileCloser>;

// Opens a HEX file to read it in binary (the reader handles every line end itself); a directory
// opens on some systems but cannot be read, so it counts as a file that cannot be opened.
HexFile openHexFile(const char* path);

}  // namespace kelvo
