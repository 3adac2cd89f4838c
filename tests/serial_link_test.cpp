#include "link/serial_link.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <vector>

#include "common/time_limits.h"
#include "link/output_queue.h"
#include "link/posix_tty.h"
#include "tests/test_support.h"

namespace {

// A bare pseudo-terminal pair: the test plays the device on the master end.
class PtyPair {
public:
    PtyPair() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        slavePath_ = ptsname(master_);
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slave() const { return slavePath_; }
    int master() const { return master_; }
    void closeMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }
    void put(const std::vector<std::uint8_t>& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads up to `count` bytes, waiting at most `ms` for them.
    std::vector<std::uint8_t> take(std::size_t count, int ms = 1000) const {
        std::vector<std::uint8_t> out;
        const std::uint32_t start = kelvo::tickCount();
        while (out.size() < count && kelvo::elapsedSince(start) < static_cast<std::uint32_t>(ms)) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            std::uint8_t chunk[512];
            const ssize_t n = read(master_, chunk, std::min(sizeof chunk, count - out.size()));
            if (n > 0) out.insert(out.end(), chunk, chunk + n);
        }
        return out;
    }

private:
    int master_ = -1;
    std::string slavePath_;
};

std::vector<std::uint8_t> allByteValues() {
    std::vector<std::uint8_t> bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    return bytes;
}

TEST(SerialLink, EveryByteValueCrossesUnchangedBothWays) {
    PtyPair pty;
    // Another program left the port cooked, stripping the eighth bit, translating line ends,
    // ignoring CR, with software flow control and parity marks: the tool must clear all of it.
    const int other = open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    termios left{};
    ASSERT_EQ(tcgetattr(other, &left), 0);
    left.c_iflag |= ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | PARMRK | BRKINT;
    left.c_oflag |= OPOST | ONLCR;
    left.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
    ASSERT_EQ(tcsetattr(other, TCSANOW, &left), 0);
    close(other);
    kelvo::PortHandle port;
    ASSERT_EQ(kelvo::openPort(port, pty.slave().c_str(), "9600"), kelvo::OpenResult::opened);
    const std::vector<std::uint8_t> bytes = allByteValues();

    ASSERT_TRUE(kelvo::sendBytes(port, bytes.data(), bytes.size()));
    EXPECT_EQ(pty.take(bytes.size() + 1, 300), bytes);  // nothing added, nothing translated

    pty.put(bytes);
    std::vector<std::uint8_t> got(bytes.size());
    ASSERT_TRUE(kelvo::receiveExact(port, got.data(), got.size(), 1000));
    EXPECT_EQ(got, bytes);
    // No echo of what the device sent went back to it.
    EXPECT_TRUE(pty.take(1, 100).empty());
}

// The settings the tool gives an open port: 9600 baud, 8 data bits, odd parity checked, 1 stop
// bit, raw, no flow control. A pty keeps PARODD but drops PARENB and the character size, which
// only a real port shows.
void expectLineSettings(int fd, bool realPort) {
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0U);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY), 0U);
    EXPECT_NE(t.c_iflag & INPCK, 0U);
    EXPECT_EQ(t.c_oflag & OPOST, 0U);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & (CRTSCTS | CSTOPB), 0U);
    EXPECT_NE(t.c_cflag & PARODD, 0U);
    if (realPort) {
        EXPECT_NE(t.c_cflag & PARENB, 0U);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    }
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
}

// On a machine with a real serial port (named by KELVO_REAL_SERIAL_PORT, e.g. /dev/ttyUSB0),
// the settings a pty cannot hold.
TEST(SerialLink, LineSettingsOnARealPort) {
    const char* name = std::getenv("KELVO_REAL_SERIAL_PORT");
    if (name == nullptr) GTEST_SKIP() << "no real port named by KELVO_REAL_SERIAL_PORT";
    const int watcher = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(watcher, 0) << name;
    kelvo::PortHandle port;
    ASSERT_EQ(kelvo::openPort(port, name, "9600"), kelvo::OpenResult::opened);
    expectLineSettings(watcher, true);
    close(watcher);
}

TEST(SerialLink, LineSettingsHoldAndAreRestoredOnClose) {
    PtyPair pty;
    const int watcher = open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(watcher, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(watcher, &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0U);  // a fresh pty starts cooked

    kelvo::PortHandle port;
    ASSERT_EQ(kelvo::openPort(port, pty.slave().c_str(), "9600"), kelvo::OpenResult::opened);
    expectLineSettings(watcher, false);

    kelvo::closePort(port);
    EXPECT_FALSE(port.valid());
    termios after{};
    ASSERT_EQ(tcgetattr(watcher, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    close(watcher);
}

TEST(SerialLink, ReceiveExactPartialZeroAndQueued) {
    PtyPair pty;
    kelvo::PortHandle port;
    ASSERT_EQ(kelvo::openPort(port, pty.slave().c_str(), "9600"), kelvo::OpenResult::opened);

    std::array<std::uint8_t, 8> buffer{};
    buffer.fill(0xEE);
    const std::uint32_t start = kelvo::tickCount();
    EXPECT_TRUE(kelvo::receiveExact(port, buffer.data(), 0, 5000));
    EXPECT_LT(kelvo::elapsedSince(start), 50U);

    pty.put({1, 2, 3, 4, 5});
    const std::uint32_t partialStart = kelvo::tickCount();
    EXPECT_FALSE(kelvo::receiveExact(port, buffer.data(), 8, 200));
    const std::uint32_t waited = kelvo::elapsedSince(partialStart);
    EXPECT_GE(waited, 199U);
    EXPECT_LT(waited, 600U);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 5),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(buffer[5], 0xEE);  // beyond what arrived the buffer is untouched

    pty.put({0x42});
    usleep(20000);
    const std::uint32_t queuedStart = kelvo::tickCount();
    EXPECT_TRUE(kelvo::receiveExact(port, buffer.data(), 1, 5000));
    EXPECT_EQ(buffer[0], 0x42);
    EXPECT_LT(kelvo::elapsedSince(queuedStart), 50U);

    // receiveAvailable takes only what is queued.
    pty.put({7, 8, 9});
    usleep(20000);
    EXPECT_EQ(kelvo::receiveAvailable(port, buffer.data(), 2), 2U);
    EXPECT_EQ(kelvo::receiveAvailable(port, buffer.data(), 8), 1U);
    EXPECT_EQ(buffer[0], 9);
    EXPECT_EQ(kelvo::receiveAvailable(port, buffer.data(), 8), 0U);
}

TEST(SerialLink, CloseStillDeliversTheLastByte) {
    for (int round = 0; round < 20; ++round) {
        PtyPair pty;
        kelvo::PortHandle port;
        ASSERT_EQ(kelvo::openPort(port, pty.slave().c_str(), "9600"), kelvo::OpenResult::opened);
        std::vector<std::uint8_t> frame(600, 0x55);
        frame.back() = 0x08;
        kelvo::sendBytes(port, frame.data(), frame.size());
        kelvo::closePort(port);
        EXPECT_EQ(pty.take(frame.size(), 1000), frame) << "round " << round;
    }
}

// A line still sending: the output queue reports `fakeQueued` bytes for `fakeQueries` queries,
// then empties. Each query notes whether the port's settings were already restored.
int fakeQueries = 0;
int fakeWatcher = -1;
int queriesMade = 0;
bool restoredWhileSending = false;
int fakeQueued(int /*fd*/) {
    ++queriesMade;
    termios t{};
    const bool sending = queriesMade <= fakeQueries;
    if (sending && tcgetattr(fakeWatcher, &t) == 0 && (t.c_iflag & INPCK) == 0) restoredWhileSending = true;
    return sending ? 100 : 0;
}

TEST(SerialLink, CloseWaitsForTheOutputQueueBeforeRestoringTheSettings) {
    struct Case {
        int queries;  // how long the queue stays busy
        std::uint32_t atLeastMs, atMostMs;
    };
    // 100 bytes at 9600 baud may take 229 ms, plus 200 ms: the bound of the wait.
    const Case cases[] = {{5, 0, 400}, {1000000, 400, 1000}};
    for (const Case& c : cases) {
        PtyPair pty;
        fakeWatcher = open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fakeWatcher, 0);
        kelvo::PortHandle port;
        ASSERT_EQ(kelvo::openPort(port, pty.slave().c_str(), "9600"), kelvo::OpenResult::opened);
        fakeQueries = c.queries;
        queriesMade = 0;
        restoredWhileSending = false;
        const kelvo::OutputQueue real = kelvo::setOutputQueue({fakeQueued, [](int) { return 0; }});
        const std::uint32_t start = kelvo::tickCount();
        kelvo::closePort(port);
        const std::uint32_t took = kelvo::elapsedSince(start);
        kelvo::setOutputQueue(real);
        EXPECT_GT(queriesMade, std::min(c.queries, 5)) << "the close did not wait for the queue";
        EXPECT_FALSE(restoredWhileSending);
        EXPECT_GE(took, c.atLeastMs);
        EXPECT_LE(took, c.atMostMs);
        close(fakeWatcher);
    }
}

TEST(SerialLink, LostPortIsReportedOnceAndEndsTheWait) {
    PtyPair pty;
    kelvotest::TestUpdate update;
    kelvo::PortHandle port;
    ASSERT_EQ(kelvo::openPort(port, pty.slave().c_str(), "9600", update.context()),
              kelvo::OpenResult::opened);
    pty.closeMaster();  // the adapter is pulled out

    std::array<std::uint8_t, 4> buffer{};
    const std::uint32_t start = kelvo::tickCount();
    EXPECT_FALSE(kelvo::receiveExact(port, buffer.data(), 4, 5000));
    EXPECT_LT(kelvo::elapsedSince(start), 1000U);
    EXPECT_TRUE(port.lost());
    EXPECT_FALSE(kelvo::sendBytes(port, buffer.data(), 1));
    EXPECT_FALSE(kelvo::receiveExact(port, buffer.data(), 1, 5000));
    kelvo::closePort(port);
    EXPECT_EQ(update.text(), "\nLost connection to serial port " + pty.slave() + ".\n");
}

TEST(SerialLink, PortsThatCannotBeOpenedOrConfigured) {
    kelvo::PortHandle port;
    EXPECT_EQ(kelvo::openPort(port, "/dev/does-not-exist", "9600"), kelvo::OpenResult::noSuchPort);
    EXPECT_EQ(kelvo::openPort(port, "/dev/null", "9600"), kelvo::OpenResult::notReady);
    EXPECT_FALSE(port.valid());

    // A baud rate that the line cannot take is a setup failure, and the port is left as free as
    // it was found.
    PtyPair pty;
    const int watcher = open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(watcher, 0);
    EXPECT_EQ(kelvo::openPort(port, pty.slave().c_str(), "12345"), kelvo::OpenResult::cannotConfigure);
    int exclusive = 1;
    ASSERT_EQ(ioctl(watcher, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the exclusive flag outlived the failed configuration";
    close(watcher);
}

TEST(SerialLink, APortIsNotSharedAndIsLeftFreeAfterClose) {
    PtyPair pty;
    const int watcher = open(pty.slave().c_str(), O_RDWR | O_NOCTTY);  // the other end stays open
    ASSERT_GE(watcher, 0);
    kelvo::PortHandle first;
    kelvo::PortHandle second;
    ASSERT_EQ(kelvo::openPort(first, pty.slave().c_str(), "9600"), kelvo::OpenResult::opened);
    EXPECT_EQ(kelvo::openPort(second, pty.slave().c_str(), "9600"), kelvo::OpenResult::cannotOpen);
    kelvo::closePort(first);
    int exclusive = 1;
    ASSERT_EQ(ioctl(watcher, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the exclusive flag outlived the close";
    // A user who is not root, next: the exclusive flag would refuse them.
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() == 0 && nobody != nullptr) {
        ASSERT_EQ(chmod(pty.slave().c_str(), 0666), 0);
        const pid_t child = fork();
        if (child == 0) {
            kelvo::PortHandle port;
            const bool dropped =
                setgroups(0, nullptr) == 0 && setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0;
            _exit(dropped && kelvo::openPort(port, pty.slave().c_str(), "9600") == kelvo::OpenResult::opened
                      ? 0
                      : 1);
        }
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "refused to a user who is not root";
    }
    // A second configuration of the same pty must succeed too.
    EXPECT_EQ(kelvo::openPort(second, pty.slave().c_str(), "9600"), kelvo::OpenResult::opened);
    close(watcher);
}

// A USB serial adapter's driver: low latency is asked for while the port is open, and the
// driver's own flags are given back at the close.
std::vector<int> flagsSet;
TEST(SerialLink, LowLatencyIsAskedForAndTheDriversFlagsGivenBack) {
    if (kelvo::lowLatencyFlag() == 0) GTEST_SKIP() << "no low-latency flag on this system";
    constexpr int kDriverFlags = 0x0040;
    const kelvo::SerialFlagsAccess real =
        kelvo::setSerialFlagsAccess({[](int, int& flags) {
                                         flags = flagsSet.empty() ? kDriverFlags : flagsSet.back();
                                         return true;
                                     },
                                     [](int, int flags) {
                                         flagsSet.push_back(flags);
                                         return true;
                                     }});
    PtyPair pty;
    kelvo::PortHandle port;
    const kelvo::OpenResult opened = kelvo::openPort(port, pty.slave().c_str(), "9600");
    const std::vector<int> whileOpen = flagsSet;
    kelvo::closePort(port);
    kelvo::setSerialFlagsAccess(real);
    ASSERT_EQ(opened, kelvo::OpenResult::opened);
    EXPECT_EQ(whileOpen, std::vector<int>{kDriverFlags | kelvo::lowLatencyFlag()});
    EXPECT_EQ(flagsSet, (std::vector<int>{kDriverFlags | kelvo::lowLatencyFlag(), kDriverFlags}));
}

TEST(SerialLink, TheSerialPortsOfTheComputer) {
    kelvotest::TempDir dir;
    const std::string root = dir.path("");
    EXPECT_EQ(kelvo::listSerialPorts(root), "none found");
    for (const char* sub : {"dev/serial/by-id", "sys/class/tty/ttyS0", "sys/class/tty/ttyS1"}) {
        std::filesystem::create_directories(root + "/" + sub);
    }
    for (const char* device : {"dev/serial/by-id/usb-Kelvo_adapter-if00-port0", "dev/ttyUSB0", "dev/ttyACM3",
                               "dev/ttyS0", "dev/ttyS1", "dev/tty0"}) {
        dir.write(device, "");
    }
    dir.write("sys/class/tty/ttyS0/type", "4\n");  // a 16550A behind it
    dir.write("sys/class/tty/ttyS1/type", "0\n");  // no UART
    EXPECT_EQ(kelvo::listSerialPorts(root), root + "/dev/serial/by-id/usb-Kelvo_adapter-if00-port0, " + root +
                                                "/dev/ttyUSB0, " + root + "/dev/ttyACM3, " + root +
                                                "/dev/ttyS0");
}

TEST(SerialLink, TheInvalidHandleDoesNothing) {
    kelvo::PortHandle port;
    std::uint8_t byte = 0x0B;
    EXPECT_FALSE(kelvo::sendBytes(port, &byte, 1));
    EXPECT_EQ(kelvo::receiveAvailable(port, &byte, 1), 0U);
    const std::uint32_t start = kelvo::tickCount();
    EXPECT_FALSE(kelvo::receiveExact(port, &byte, 1, 2000));
    EXPECT_LT(kelvo::elapsedSince(start), 50U);
    kelvo::closePort(port);
    EXPECT_FALSE(port.valid());
}

}  // namespace
