// Serial link backend for Linux and other POSIX systems: a termios file descriptor.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "common/stop_request.h"
#include "common/time_limits.h"
#include "link/output_queue.h"
#include "link/port_state.h"
#include "link/posix_tty.h"
#include "link/serial_link.h"

namespace kelvo {

namespace {

class PosixSerialPort final : public PortHandle::State {
public:
    bool send(PortHandle& port, const std::uint8_t* bytes, std::size_t count) override;
    std::size_t receive(PortHandle& port, std::uint8_t* buffer, std::size_t maximum,
                        std::uint32_t waitMs) override;
    void close(PortHandle& port) override;

    int fd = -1;
    termios saved{};  // the settings the port had before the open, restored on close
    bool pseudoTerminal = false;
    std::uint32_t baud = 9600;
    int savedSerialFlags = -1;  // the driver's flags before low latency was asked for, or -1
};

struct BaudEntry {
    int baud;
    speed_t speed;
};

constexpr BaudEntry kBaudTable[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

bool speedFor(int baud, speed_t& speed) {
    for (const BaudEntry& entry : kBaudTable) {
        if (entry.baud == baud) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

// A hard failure of the device itself, as opposed to "try again later".
bool isLinkFailure(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE || error == EBADF;
}

termios lineSettings(const termios& current, speed_t speed) {
    termios t = current;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                        IXOFF | IXANY | IMAXBEL | IGNPAR);
    t.c_iflag |= INPCK;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | PARENB | PARODD | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return t;
}

// Whether the settings read back hold what matters. A pseudo-terminal cannot hold parity
// or a character size, so those are not asked of it.
bool settingsHeld(const termios& wanted, const termios& got, bool pseudoTerminal) {
    const tcflag_t iMask =
        IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK;
    const tcflag_t lMask = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    tcflag_t cMask = CSIZE | CSTOPB | CRTSCTS | PARENB | PARODD | CLOCAL | CREAD;
    if (pseudoTerminal) cMask &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD);
    if ((wanted.c_iflag & iMask) != (got.c_iflag & iMask)) return false;
    if ((wanted.c_oflag & OPOST) != (got.c_oflag & OPOST)) return false;
    if ((wanted.c_lflag & lMask) != (got.c_lflag & lMask)) return false;
    if ((wanted.c_cflag & cMask) != (got.c_cflag & cMask)) return false;
    if (got.c_cc[VMIN] != 0 || got.c_cc[VTIME] != 0) return false;
    return cfgetospeed(&got) == cfgetospeed(&wanted) && cfgetispeed(&got) == cfgetispeed(&wanted);
}

OpenResult failConfiguration(int fd, OpenResult result) {
    ioctl(fd, TIOCNXCL);  // the exclusive flag may have been set already
    close(fd);
    return result;
}

// Bytes still waiting in the driver's output queue, or 0 when it cannot tell.
int pendingOutput(int fd) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0) return 0;
    return queued;
}

OutputQueue gOutputQueue{pendingOutput, tcdrain};

// Lets the bytes still queued (the reset) reach the line. The wait is bounded: a line that does
// not drain must not hang the tool.
void drainOutput(const PosixSerialPort& s) {
    const std::uint32_t start = tickCount();
    const std::uint32_t limit = transmissionMs(static_cast<std::size_t>(gOutputQueue.queued(s.fd)), s.baud);
    while (gOutputQueue.queued(s.fd) > 0 && elapsedSince(start) < limit) sleepUninterruptedMs(1);
    // On a real port the queue is empty before the last byte has left the shift register; a
    // pseudo-terminal's tcdrain would wait for the other end to read.
    if (!s.pseudoTerminal && gOutputQueue.queued(s.fd) == 0) gOutputQueue.drain(s.fd);
}

}  // namespace

OpenResult openSerialPort(PortHandle& port, const char* name, const char* baudText,
                          const RunContext& context) {
    int baud = 0;
    if (std::sscanf(baudText, "%d", &baud) != 1) baud = 0;

    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENODEV || errno == ENXIO) return OpenResult::noSuchPort;
        if (errno == EACCES || errno == EPERM) return OpenResult::noPermission;
        return OpenResult::cannotOpen;
    }
    // No sharing: a port that another process holds is not opened a second time.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return OpenResult::cannotOpen;
    }

    termios saved{};
    if (tcgetattr(fd, &saved) != 0) return failConfiguration(fd, OpenResult::notReady);
    ioctl(fd, TIOCEXCL);

    speed_t speed = B0;
    if (!speedFor(baud, speed)) return failConfiguration(fd, OpenResult::cannotConfigure);
    const bool pty = isPseudoTerminal(fd);
    const termios wanted = lineSettings(saved, speed);
    // On a pseudo-terminal, tcsetattr may report EINVAL for the parity it cannot hold even
    // though everything else was applied; what was applied is read back either way.
    if (tcsetattr(fd, TCSANOW, &wanted) != 0 && !(pty && errno == EINVAL)) {
        return failConfiguration(fd, OpenResult::cannotConfigure);
    }
    termios got{};
    if (tcgetattr(fd, &got) != 0 || !settingsHeld(wanted, got, pty)) {
        tcsetattr(fd, TCSANOW, &saved);
        return failConfiguration(fd, OpenResult::cannotConfigure);
    }

    // DTR and RTS held off; a device without modem lines is not an error.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
    tcflush(fd, TCIOFLUSH);

    auto state = std::make_unique<PosixSerialPort>();
    state->fd = fd;
    state->saved = saved;
    state->pseudoTerminal = pty;
    state->baud = static_cast<std::uint32_t>(baud);
    state->savedSerialFlags = askForLowLatency(fd);
    port.adopt(PortHandle::StatePtr(state.release()), name, static_cast<std::uint32_t>(baud), context);
    return OpenResult::opened;
}

bool PosixSerialPort::send(PortHandle& port, const std::uint8_t* bytes, std::size_t count) {
    const std::uint32_t start = tickCount();
    const std::uint32_t limit = transmissionMs(count, baud);
    std::size_t sent = 0;
    while (sent < count) {
        const ssize_t n = write(fd, bytes + sent, count - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (isLinkFailure(errno)) port.markLost();
            return false;
        }
        const std::uint32_t elapsed = elapsedSince(start);
        if (elapsed >= limit) return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(limit - elapsed)) > 0 &&
            (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            port.markLost();
            return false;
        }
    }
    return true;
}

std::size_t PosixSerialPort::receive(PortHandle& port, std::uint8_t* buffer, std::size_t maximum,
                                     std::uint32_t waitMs) {
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0) {
        if (isLinkFailure(errno)) port.markLost();
        return 0;
    }
    if (queued <= 0) {
        // A signal interrupts the poll of one thread only: with a port per thread (the station) the
        // wait is sliced, so that a stop request is seen within a slice.
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(waitMs < kStopCheckMs ? waitMs : kStopCheckMs));
        if (ready <= 0) return 0;
        if ((p.revents & POLLIN) == 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            port.markLost();
            return 0;
        }
        if (ioctl(fd, FIONREAD, &queued) != 0 || queued <= 0) queued = 1;
    }
    const std::size_t wanted =
        static_cast<std::size_t>(queued) < maximum ? static_cast<std::size_t>(queued) : maximum;
    const ssize_t n = read(fd, buffer, wanted);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0 || isLinkFailure(errno)) port.markLost();
    return 0;
}

OutputQueue setOutputQueue(const OutputQueue& queue) {
    const OutputQueue previous = gOutputQueue;
    gOutputQueue = queue;
    return previous;
}

void PosixSerialPort::close(PortHandle& port) {
    if (!port.broken()) {
        // The last bytes (the reset) reach the line before the queues are discarded.
        drainOutput(*this);
        // Only input is discarded: the output has drained, and on a pseudo-terminal an output
        // flush would discard what the other end has not read yet.
        tcflush(fd, TCIFLUSH);
        restoreSerialFlags(fd, savedSerialFlags);
        tcsetattr(fd, TCSANOW, &saved);
    }
    // The exclusive flag belongs to this run: left set, it would refuse the next user who is not
    // root for as long as the other end stays open.
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    ::close(fd);
}

namespace {
StopRequest* gStopOnSignal = nullptr;

void onInterrupt(int /*signal*/) {
    if (gStopOnSignal != nullptr) gStopOnSignal->request();
}
}  // namespace

void protectStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is this one; dup2 makes sure of it.
        const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
    // A console write that fails (EPIPE) is only a failed write.
    signal(SIGPIPE, SIG_IGN);
}

void installInterruptHandler(StopRequest& stop) {
    gStopOnSignal = &stop;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a wait in poll() ends at once
    // Ctrl-C, kill, a terminal or SSH session that goes away, Ctrl-\\: each ends the run cleanly.
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(signalNumber, &action, nullptr);
}

}  // namespace kelvo
