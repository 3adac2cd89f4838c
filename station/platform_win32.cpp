// The station on Windows.
#include <io.h>
#include <windows.h>

#include "station/station_platform.h"

namespace kelvo {

bool syncToDisk(std::FILE* file) {
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool liveTerminal(std::FILE* file) {
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return false;  // not a console
    return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int terminalColumns(std::FILE* file) {
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (console == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(console, &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

}  // namespace kelvo
