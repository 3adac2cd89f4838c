// Network ports through Debian's ser2net in front of a pseudo-terminal on which the test plays the
// device, and ports that cannot be reached or set up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "common/time_limits.h"
#include "link/serial_link.h"
#include "tests/net_support.h"
#include "tests/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A bare pseudo-terminal: the test plays the device on its master end, ser2net opens the other.
class Device {
public:
    Device() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        path_ = ptsname(master_);
        // Held open, so that the master end never reads a hang-up between ser2net's opens.
        slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    }
    ~Device() {
        close(slave_);
        close(master_);
    }
    const std::string& path() const { return path_; }
    int slave() const { return slave_; }
    void put(const Bytes& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    Bytes take(std::size_t count, int ms = 2000) const {
        Bytes out;
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
    int slave_ = -1;
    std::string path_;
};

class NetworkLink : public ::testing::TestWithParam<bool> {};

TEST_P(NetworkLink, EveryByteValueCrossesUnchangedBothWays) {
    Device device;
    kelvotest::Ser2net server(device.path(), GetParam());
    ASSERT_TRUE(server.ready());
    kelvo::PortHandle port;
    ASSERT_EQ(kelvo::openPort(port, server.url().c_str(), "9600"), kelvo::OpenResult::opened)
        << port.openProblem();
    Bytes bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    bytes.insert(bytes.end(), {0xFF, 0xFF, 0x0D, 0x00, 0x0D, 0x0A});

    ASSERT_TRUE(kelvo::sendBytes(port, bytes.data(), bytes.size()));
    EXPECT_EQ(device.take(bytes.size() + 1, 500), bytes);  // nothing added, nothing translated

    device.put(bytes);
    Bytes got(bytes.size());
    ASSERT_TRUE(kelvo::receiveExact(port, got.data(), got.size(), 2000));
    EXPECT_EQ(got, bytes);
    // What the device sent before a frame is not the frame's answer.
    device.put({0x55, 0x66});
    usleep(100000);
    kelvo::discardInput(port);
    const std::uint8_t frame = 0x0B;
    ASSERT_TRUE(kelvo::sendBytes(port, &frame, 1));
    EXPECT_EQ(device.take(1), Bytes{0x0B});
    device.put({0x01});
    std::uint8_t answer = 0;
    ASSERT_TRUE(kelvo::receiveExact(port, &answer, 1, 2000));
    EXPECT_EQ(answer, 0x01);
}

INSTANTIATE_TEST_SUITE_P(Ser2net, NetworkLink, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "rfc2217" : "socket");
                         });

// ser2net starts the device at 115200 baud, no parity, 7 data bits, 2 stop bits; the tool's
// settings replace them. A pty keeps PARODD but cannot hold PARENB, and always has 8 data bits.
TEST(NetworkLink, TheDeviceServerSetsTheLineAsAsked) {
    Device device;
    kelvotest::Ser2net server(device.path(), true, "115200n72");
    ASSERT_TRUE(server.ready());
    kelvo::PortHandle port;
    ASSERT_EQ(kelvo::openPort(port, server.url().c_str(), "9600"), kelvo::OpenResult::opened)
        << port.openProblem();
    termios t{};
    ASSERT_EQ(tcgetattr(device.slave(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_NE(t.c_cflag & PARODD, 0U);
    EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0U);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0U);
}

}  // namespace

namespace {

// What ser2net in front of a pty never does: a device server whose port does not take odd
// parity. It takes the COM port control and answers the parity with "none".
class NoParityServer {
public:
    NoParityServer() : listener_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            const int client = accept(listener_, nullptr, nullptr);
            const Bytes answer = {255, 253, 44, 255, 250, 44, 103, 1, 255, 240};
            (void)!write(client, answer.data(), answer.size());
            char scratch[256];
            while (read(client, scratch, sizeof scratch) > 0) {
            }
            close(client);
        });
    }
    ~NoParityServer() {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    std::uint16_t port() const { return port_; }

private:
    int listener_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

TEST(NetworkLink, PortsThatCannotBeReachedOrSetUp) {
    kelvotest::SilentListener silent;
    NoParityServer noParity;
    Device device;
    kelvotest::Ser2net raw(device.path(), false);
    ASSERT_TRUE(raw.ready());
    const std::string local = "127.0.0.1:";
    const std::string closed = local + std::to_string(kelvotest::unusedPort());
    struct Case {
        std::string name;
        std::string says;  // how the problem begins
    };
    std::vector<Case> cases = {
        {"rfc2217://" + closed, closed + " refused the connection (nothing listens on that port)"},
        {"socket://" + local + std::to_string(silent.port()),
         "no answer from 127.0.0.1:" + std::to_string(silent.port()) + " within 1 s"},
        {"rfc2217://nosuch.invalid:4001", "the host name nosuch.invalid d"},
        {"rfc2217://10.0.0.5", "a network port is named rfc2217://HOST:PORT or socket://HOST:PORT"},
        {"rfc2217://" + local + std::to_string(raw.port()),
         "no answer to the line settings from 127.0.0.1:" + std::to_string(raw.port()) +
             " within 1 s (a raw TCP port is named socket://)"},
        {"rfc2217://" + local + std::to_string(noParity.port()),
         "the device server at 127.0.0.1:" + std::to_string(noParity.port()) +
             " refused the setting odd parity"},
    };
    // Over IPv6 as well, where the machine has it.
    if (kelvotest::readFile("/proc/net/if_inet6").find(std::string(31, '0') + "1") != std::string::npos) {
        const std::string closed6 = "[::1]:" + std::to_string(kelvotest::unusedPort());
        cases.push_back({"socket://" + closed6, closed6 + " refused the connection"});
    }
    for (const Case& c : cases) {
        kelvotest::TestUpdate update;
        kelvo::PortHandle port;
        const std::uint32_t start = kelvo::tickCount();
        EXPECT_EQ(kelvo::openPort(port, c.name.c_str(), "9600", update.context()),
                  kelvo::OpenResult::networkFailure)
            << c.name;
        EXPECT_LT(kelvo::elapsedSince(start), update.limits().connectMs + 300) << c.name;
        EXPECT_TRUE(port.openProblem().starts_with(c.says)) << c.name << ": " << port.openProblem();
        EXPECT_FALSE(port.valid()) << c.name;
    }
}

}  // namespace
