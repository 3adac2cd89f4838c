// The station on Windows.
#include <winsock2.h>
// winsock2.h before windows.h
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "station/station_platform.h"

namespace kelvo {

namespace {

std::string windowsError(DWORD code) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                   0, text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : message;
}

}  // namespace

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

LogOpen openLockedLog(const std::string& path, std::FILE*& file, bool& lastLineCut, std::string& error) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return LogOpen::notRegular;
    const HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = windowsError(GetLastError());
        return LogOpen::failed;
    }
    const auto fail = [&](LogOpen result) {
        if (result == LogOpen::failed) error = windowsError(GetLastError());
        CloseHandle(handle);
        return result;
    };
    // A console, a pipe or a device such as NUL is not a log.
    if (GetFileType(handle) != FILE_TYPE_DISK) return fail(LogOpen::notRegular);
    // One byte far beyond any log's end is the lock: the records themselves stay readable by
    // others (a report while the station runs), and a second station's lock fails at once.
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFF;
    at.OffsetHigh = 0x7FFFFFFF;
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD code = GetLastError();
        return fail(code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING ? LogOpen::locked
                                                                             : LogOpen::failed);
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle, &size)) return fail(LogOpen::failed);
    char last = '\n';
    if (size.QuadPart > 0) {
        LARGE_INTEGER at{};
        at.QuadPart = size.QuadPart - 1;
        DWORD got = 0;
        if (!SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) ||
            !ReadFile(handle, &last, 1, &got, nullptr) || got != 1)
            return fail(LogOpen::failed);
    }
    lastLineCut = last != '\n';
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_BINARY);
    if (fd < 0) return fail(LogOpen::failed);
    file = _fdopen(fd, "ab");
    if (file == nullptr) {
        error = std::strerror(errno);
        _close(fd);
        return LogOpen::failed;
    }
    return LogOpen::opened;
}

void utcTime(std::time_t seconds, std::tm& utc) {
    gmtime_s(&utc, &seconds);
}

bool waitForSocket(int socket, std::uint32_t ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(socket), &readable);
    timeval wait{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &wait) != 0;
}

std::string hostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return "";
    return std::string(name, size);
}

}  // namespace kelvo
