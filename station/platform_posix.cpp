// The station on Linux and other POSIX systems.
#include <sys/ioctl.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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

LogOpen openLockedLog(const std::string& path, std::FILE*& file, bool& lastLineCut, std::string& error) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) return LogOpen::notRegular;
    // Non-blocking, so that a FIFO put there meanwhile cannot hold the open.
    const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == ENXIO || errno == EISDIR) return LogOpen::notRegular;
        error = std::strerror(errno);
        return LogOpen::failed;
    }
    const auto fail = [&](LogOpen result) {
        if (result == LogOpen::failed) error = std::strerror(errno);
        close(fd);
        return result;
    };
    if (fstat(fd, &status) != 0) return fail(LogOpen::failed);
    if (!S_ISREG(status.st_mode)) return fail(LogOpen::notRegular);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(errno == EWOULDBLOCK ? LogOpen::locked : LogOpen::failed);
    if (fcntl(fd, F_SETFL, O_APPEND) != 0) return fail(LogOpen::failed);
    char last = '\n';
    if (status.st_size > 0 && pread(fd, &last, 1, status.st_size - 1) != 1) return fail(LogOpen::failed);
    lastLineCut = last != '\n';
    file = fdopen(fd, "ab");
    if (file == nullptr) return fail(LogOpen::failed);
    return LogOpen::opened;
}

void utcTime(std::time_t seconds, std::tm& utc) {
    gmtime_r(&seconds, &utc);
}

bool waitForSocket(int socket, std::uint32_t ms) {
    pollfd fd{socket, POLLIN, 0};
    int ready = 0;
    do {
        ready = poll(&fd, 1, static_cast<int>(ms));
    } while (ready < 0 && errno == EINTR);
    return ready != 0;
}

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

}  // namespace kelvo
