#include "link/serial_link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "common/time_limits.h"
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

TEST(SerialLink, LineSettingsHoldAndAreRestoredOnClose) {
    PtyPair pty;
    const int watcher = open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(watcher, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(watcher, &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0U);  // a fresh pty starts cooked

    kelvo::PortHandle port;
    ASSERT_EQ(kelvo::openPort(port, pty.slave().c_str(), "9600"), kelvo::OpenResult::opened);
    termios t{};
    ASSERT_EQ(tcgetattr(watcher, &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0U);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY), 0U);
    EXPECT_NE(t.c_iflag & INPCK, 0U);
    EXPECT_EQ(t.c_oflag & OPOST, 0U);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & (CRTSCTS | CSTOPB), 0U);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));

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

TEST(SerialLink, LostPortIsReportedOnceAndEndsTheWait) {
    PtyPair pty;
    kelvotest::ConsoleCapture console;
    kelvo::PortHandle port;
    ASSERT_EQ(kelvo::openPort(port, pty.slave().c_str(), "9600"), kelvo::OpenResult::opened);
    pty.closeMaster();  // the adapter is pulled out

    std::array<std::uint8_t, 4> buffer{};
    const std::uint32_t start = kelvo::tickCount();
    EXPECT_FALSE(kelvo::receiveExact(port, buffer.data(), 4, 5000));
    EXPECT_LT(kelvo::elapsedSince(start), 1000U);
    EXPECT_TRUE(port.lost());
    EXPECT_FALSE(kelvo::sendBytes(port, buffer.data(), 1));
    EXPECT_FALSE(kelvo::receiveExact(port, buffer.data(), 1, 5000));
    kelvo::closePort(port);
    EXPECT_EQ(console.text(), "\nLost connection to serial port " + pty.slave() + ".\n");
}

TEST(SerialLink, PortsThatCannotBeOpenedOrConfigured) {
    kelvotest::ConsoleCapture console;
    kelvo::PortHandle port;
    EXPECT_EQ(kelvo::openPort(port, "/dev/does-not-exist", "9600"), kelvo::OpenResult::cannotOpen);
    EXPECT_EQ(console.text(), "");
    EXPECT_EQ(kelvo::openPort(port, "/dev/null", "9600"), kelvo::OpenResult::cannotConfigure);
    EXPECT_EQ(console.text(),
              "\nPlease make sure your serial port is connected and not opened by other "
              "application. Then run this program again.");
    EXPECT_FALSE(port.valid());

    // A baud rate that the line cannot take is a setup failure.
    PtyPair pty;
    kelvotest::ConsoleCapture second;
    EXPECT_EQ(kelvo::openPort(port, pty.slave().c_str(), "12345"), kelvo::OpenResult::cannotConfigure);
    EXPECT_EQ(second.text(),
              "\nError occurs when setting up your serial port. Please contact Varnoth support. ");
}

TEST(SerialLink, APortIsNotSharedAndCanBeReopenedAfterClose) {
    PtyPair pty;
    kelvo::PortHandle first;
    kelvo::PortHandle second;
    ASSERT_EQ(kelvo::openPort(first, pty.slave().c_str(), "9600"), kelvo::OpenResult::opened);
    EXPECT_EQ(kelvo::openPort(second, pty.slave().c_str(), "9600"), kelvo::OpenResult::cannotOpen);
    kelvo::closePort(first);
    // A second configuration of the same pty must succeed too.
    EXPECT_EQ(kelvo::openPort(second, pty.slave().c_str(), "9600"), kelvo::OpenResult::opened);
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
