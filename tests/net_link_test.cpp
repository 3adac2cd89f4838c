// Network ports: the port names, the Telnet layer on bytes alone, and the link through Debian's
// ser2net in front of a pseudo-terminal on which the test plays the device.
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
#include "link/port_url.h"
#include "link/serial_link.h"
#include "link/telnet.h"
#include "tests/net_support.h"
#include "tests/test_support.h"

namespace {

using kelvo::PortKind;
using kelvo::TelnetSession;
using Bytes = std::vector<std::uint8_t>;

TEST(PortName, NetworkPortsAndEverythingElse) {
    struct Case {
        const char* name;
        PortKind kind;
        const char* host;
        std::uint16_t port;
    };
    const Case cases[] = {
        {"rfc2217://10.0.0.5:4001", PortKind::rfc2217, "10.0.0.5", 4001},
        {"socket://moxa-7.plant.example:950", PortKind::rawTcp, "moxa-7.plant.example", 950},
        {"RFC2217://Host_1:65535/", PortKind::rfc2217, "Host_1", 65535},
        {"socket://[fe80::1%eth0]:4001", PortKind::rawTcp, "fe80::1%eth0", 4001},
        {"rfc2217://[::1]:1", PortKind::rfc2217, "::1", 1},
        // Local ports keep their meaning.
        {"COM5", PortKind::local, "", 0},
        {"/dev/ttyUSB0", PortKind::local, "", 0},
        {"\\\\.\\COM12", PortKind::local, "", 0},
        {"./socket:/x", PortKind::local, "", 0},
        // A network port that cannot be reached as written.
        {"rfc2217://host", PortKind::malformed, "", 0},
        {"rfc2217://host:", PortKind::malformed, "", 0},
        {"rfc2217://:4001", PortKind::malformed, "", 0},
        {"socket://host:0", PortKind::malformed, "", 0},
        {"socket://host:65536", PortKind::malformed, "", 0},
        {"socket://host:40x1", PortKind::malformed, "", 0},
        {"socket://fe80::1:4001", PortKind::malformed, "", 0},
        {"socket://[fe80::1:4001", PortKind::malformed, "", 0},
        {"socket://[host]:4001", PortKind::malformed, "", 0},
        {"rfc2217://user@host:4001", PortKind::malformed, "", 0},
        {"rfc2217://host:4001/path", PortKind::malformed, "", 0},
    };
    for (const Case& c : cases) {
        const kelvo::PortUrl url = kelvo::parsePortUrl(c.name);
        EXPECT_EQ(url.kind, c.kind) << c.name;
        EXPECT_EQ(url.host, c.host) << c.name;
        EXPECT_EQ(url.port, c.port) << c.name;
    }
    EXPECT_EQ(kelvo::hostAndPort("::1", 4001), "[::1]:4001");
    EXPECT_EQ(kelvo::hostAndPort("10.0.0.5", 4001), "10.0.0.5:4001");
}

// The server's side of an opening in which it agrees to everything and answers the settings as
// asked (9600 baud), in order.
const Bytes kAgree = {255, 253, 0,   255, 251, 0,   255, 253, 3,   255, 251, 3,   255, 253,
                      44,  255, 250, 44,  101, 0,   0,   37,  128, 255, 240, 255, 250, 44,
                      102, 8,   255, 240, 255, 250, 44,  103, 2,   255, 240, 255, 250, 44,
                      104, 1,   255, 240, 255, 250, 44,  105, 1,   255, 240};

// Feeds `bytes` to the session in pieces of `piece` bytes; returns the data.
Bytes decodeInPieces(TelnetSession& session, const Bytes& bytes, std::size_t piece) {
    Bytes data;
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        session.decode(bytes.data() + at, std::min(piece, bytes.size() - at), data);
    return data;
}

TEST(Telnet, DataAndCommandsSplitAnywhereAcrossReads) {
    // Data with doubled 0xFF, a CR NUL, a NOP, an answer with an escaped 0xFF inside it, and a
    // notification of the modem lines between data bytes.
    Bytes stream = kAgree;
    const Bytes tail = {0x41, 255, 255, 0x0D, 0x00, 255, 241,  0x42, 255, 250,
                        44,   107, 255, 255,  255,  240, 0x43, 255,  255};
    stream.insert(stream.end(), tail.begin(), tail.end());
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        TelnetSession session;
        session.start(9600);
        session.output().clear();
        // In binary mode a NUL after a CR is data.
        EXPECT_EQ(decodeInPieces(session, stream, piece), (Bytes{0x41, 255, 0x0D, 0x00, 0x42, 0x43, 255}))
            << "pieces of " << piece;
        EXPECT_EQ(session.settings(), TelnetSession::Settings::accepted) << "pieces of " << piece;
        EXPECT_TRUE(session.output().empty()) << "an agreement was answered again, pieces of " << piece;
    }
}

TEST(Telnet, EscapingOnTheWayOut) {
    TelnetSession session;
    session.start(9600);
    Bytes out;
    const Bytes data = {0x01, 0xFF, 0x0D, 0x00, 0xFF};
    // Until binary transmission is agreed a CR goes out as CR NUL.
    session.encode(data.data(), data.size(), out);
    EXPECT_EQ(out, (Bytes{0x01, 0xFF, 0xFF, 0x0D, 0x00, 0x00, 0xFF, 0xFF}));
    session.decode(kAgree.data(), kAgree.size(), out);
    out.clear();
    session.encode(data.data(), data.size(), out);
    EXPECT_EQ(out, (Bytes{0x01, 0xFF, 0xFF, 0x0D, 0x00, 0xFF, 0xFF}));
}

TEST(Telnet, TheOpeningAsksForTheLineAndEscapesItsValues) {
    TelnetSession session;
    session.start(0x0001FF00);  // a baud rate with 0xFF in it
    const Bytes expected = {255, 251, 0,   255, 251, 3,   255, 251, 44,  255, 253, 0,   255, 253,
                            3,   255, 250, 44,  1,   0,   1,   255, 255, 0,   255, 240, 255, 250,
                            44,  2,   8,   255, 240, 255, 250, 44,  3,   2,   255, 240, 255, 250,
                            44,  4,   1,   255, 240, 255, 250, 44,  5,   1,   255, 240, 255, 250,
                            44,  5,   9,   255, 240, 255, 250, 44,  5,   12,  255, 240};
    EXPECT_EQ(session.output(), expected);
    session.output().clear();
    session.requestPurge(false);
    EXPECT_EQ(session.output(), (Bytes{255, 250, 44, 12, 1, 255, 240}));
}

TEST(Telnet, NegotiationAnswers) {
    struct Case {
        const char* name;
        Bytes from;  // what the server sends after the opening
        Bytes answer;
    };
    const Case cases[] = {
        {"agreeing to what we offered and asked for is not answered", {255, 253, 0, 255, 251, 3}, {}},
        {"an echo is refused", {255, 251, 1}, {255, 254, 1}},
        {"an option we do not perform is refused", {255, 253, 24}, {255, 252, 24}},
        {"binary withdrawn after it was agreed is acknowledged",
         {255, 251, 0, 255, 252, 0, 255, 253, 0, 255, 254, 0},
         {255, 254, 0, 255, 252, 0}},
        {"a withdrawal of what was never agreed is not answered", {255, 252, 1, 255, 254, 24}, {}},
        {"an agreement repeated is not answered again", {255, 253, 44, 255, 253, 44}, {}},
    };
    for (const Case& c : cases) {
        TelnetSession session;
        session.start(9600);
        session.output().clear();
        Bytes data;
        session.decode(c.from.data(), c.from.size(), data);
        EXPECT_EQ(session.output(), c.answer) << c.name;
        EXPECT_TRUE(data.empty()) << c.name;
    }
}

TEST(Telnet, EachSettingIsCheckedAgainstTheAnswer) {
    struct Case {
        const char* name;
        Bytes answers;  // subnegotiation bodies after IAC SB 44
        TelnetSession::Settings settings;
        std::string refused;
    };
    const Bytes baud = {101, 0, 0, 37, 128}, data = {102, 8}, parity = {103, 2}, stop = {104, 1},
                flow = {105, 1};
    const auto join = [](std::vector<Bytes> parts) {
        Bytes all;
        for (const Bytes& p : parts) {
            all.insert(all.end(), {255, 250, 44});
            all.insert(all.end(), p.begin(), p.end());
            all.insert(all.end(), {255, 240});
        }
        return all;
    };
    using S = TelnetSession::Settings;
    const Case cases[] = {
        {"all as asked, DTR and RTS unanswered", join({baud, data, parity, stop, flow}), S::accepted, ""},
        {"all as asked, DTR and RTS too", join({baud, data, parity, stop, flow, {105, 9}, {105, 12}}),
         S::accepted, ""},
        {"the stop bits unanswered", join({baud, data, parity, flow}), S::pending, ""},
        {"no parity", join({baud, data, {103, 1}, stop, flow}), S::refused, "odd parity"},
        {"another speed", join({{101, 0, 0, 75, 0}, data, parity, stop, flow}), S::refused, "9600 baud"},
        {"7 data bits, before the others came", join({{102, 7}}), S::refused, "8 data bits"},
        {"2 stop bits", join({baud, data, parity, {104, 2}, flow}), S::refused, "1 stop bit"},
        {"hardware flow control", join({baud, data, parity, stop, {105, 3}}), S::refused, "no flow control"},
        {"DTR left on", join({baud, data, parity, stop, flow, {105, 8}}), S::refused, "DTR off"},
        {"RTS left on", join({baud, data, parity, stop, flow, {105, 11}}), S::refused, "RTS off"},
        {"no COM port control at all", {255, 254, 44}, S::unsupported, ""},
    };
    for (const Case& c : cases) {
        TelnetSession session;
        session.start(9600);
        Bytes out;
        session.decode(c.answers.data(), c.answers.size(), out);
        EXPECT_EQ(session.settings(), c.settings) << c.name;
        EXPECT_EQ(session.refusedSetting(), c.refused) << c.name;
    }
}

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
TEST(NetworkLink, TheDeviceServerSetsTheLineAsAskedAndRestoresNothingItShouldNot) {
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

TEST(NetworkLink, TheServerGoingAwayIsALostConnection) {
    Device device;
    kelvotest::Ser2net server(device.path(), true);
    ASSERT_TRUE(server.ready());
    kelvotest::TestUpdate update;
    kelvo::PortHandle port;
    ASSERT_EQ(kelvo::openPort(port, server.url().c_str(), "9600", update.context()),
              kelvo::OpenResult::opened);
    std::thread killer([&] {
        usleep(300000);
        server.kill();
    });
    std::uint8_t buffer[4];
    const std::uint32_t start = kelvo::tickCount();
    EXPECT_FALSE(kelvo::receiveExact(port, buffer, 4, 8000));
    killer.join();
    EXPECT_LT(kelvo::elapsedSince(start), 1000U);
    EXPECT_TRUE(port.broken());
    EXPECT_FALSE(kelvo::sendBytes(port, buffer, 1));
    kelvo::closePort(port);
    EXPECT_EQ(update.text(), "\nLost connection to serial port " + server.url() + ".\n");
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
    const Case cases[] = {
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
