// Network port names, and the Telnet layer of an rfc2217:// port on bytes alone.
#include "link/telnet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link/port_url.h"

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
        {"socket://devserver-7.plant.example:950", PortKind::rawTcp, "devserver-7.plant.example", 950},
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

TEST(Telnet, TheOpeningTheRequestsAndTheDataEscapedOnTheWayOut) {
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

    // Data: 0xFF doubled, and a CR followed by NUL until binary transmission is agreed.
    Bytes out;
    const Bytes data = {0x01, 0xFF, 0x0D, 0x00};
    session.encode(data.data(), data.size(), out);
    EXPECT_EQ(out, (Bytes{0x01, 0xFF, 0xFF, 0x0D, 0x00, 0x00}));
    session.decode(kAgree.data(), kAgree.size(), out);
    out.clear();
    session.encode(data.data(), data.size(), out);
    EXPECT_EQ(out, (Bytes{0x01, 0xFF, 0xFF, 0x0D, 0x00}));
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

}  // namespace
