// The station on Linux and other POSIX systems.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "station/station_platform.h"

namespace kelvo {

bool syncToDisk(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool liveTerminal(std::FILE* file) {
    const char* term = std::getenv("TERM");
    return isatty(fileno(file)) != 0 && term != nullptr && std::strcmp(term, "dumb") != 0;
}

int terminalColumns(std::FILE* file) {
    winsize size{};
    if (ioctl(fileno(file), TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

}  // namespace kelvo
