#pragma once

#include <cstdint>
#include <string>

namespace kelvo {

// What a port's name asks for. A name that does not begin with one of the two network schemes
// (any case) is a local port, as it always was: COM5, /dev/ttyUSB0 and the like never look like
// a network port.
enum class PortKind {
    local,      // a serial port of this computer
    rfc2217,    // rfc2217://HOST:PORT: Telnet with the COM port control of RFC 2217
    rawTcp,     // socket://HOST:PORT: the bytes as they are over TCP
    malformed,  // one of the schemes, but no usable HOST:PORT after it
};

struct PortUrl {
    PortKind kind = PortKind::local;
    std::string host;  // a name, an IPv4 address, or an IPv6 address without its brackets
    std::uint16_t port = 0;
};

// Reads a port's name. HOST is a host name, an IPv4 address or an IPv6 address in brackets;
// PORT a decimal number from 1 to 65535. Nothing may follow but one closing slash.
PortUrl parsePortUrl(const std::string& name);

// The host and port as a person writes them: "host:4001", "[fe80::1]:4001".
std::string hostAndPort(const std::string& host, std::uint16_t port);

}  // namespace kelvo
