// Port names: a local serial port, or a port of a device server on the network.
#include "link/port_url.h"

#include <algorithm>
#include <cctype>

namespace kelvo {

namespace {

struct Scheme {
    const char* prefix;
    PortKind kind;
};

constexpr Scheme kSchemes[] = {{"rfc2217://", PortKind::rfc2217}, {"socket://", PortKind::rawTcp}};

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

bool isNameCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

// An IPv6 address as it stands between brackets, with an optional zone ("fe80::1%eth0").
bool isIpv6Text(const std::string& text) {
    const std::size_t zone = text.find('%');
    const std::string address = text.substr(0, zone);
    if (address.find(':') == std::string::npos) return false;
    if (zone != std::string::npos &&
        (zone + 1 == text.size() ||
         !std::all_of(text.begin() + static_cast<long>(zone) + 1, text.end(), isNameCharacter)))
        return false;
    return std::all_of(address.begin(), address.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
    });
}

bool parsePortNumber(const std::string& text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    if (!std::all_of(text.begin(), text.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }))
        return false;
    const unsigned long value = std::stoul(text);
    if (value == 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

PortUrl parsePortUrl(const std::string& name) {
    PortUrl url;
    std::string rest;
    for (const Scheme& scheme : kSchemes) {
        if (startsWithNoCase(name, scheme.prefix)) {
            url.kind = scheme.kind;
            rest = name.substr(std::char_traits<char>::length(scheme.prefix));
        }
    }
    if (url.kind == PortKind::local) return url;
    if (!rest.empty() && rest.back() == '/') rest.pop_back();

    std::size_t colon = 0;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            url.kind = PortKind::malformed;
            return url;
        }
        url.host = rest.substr(1, close - 1);
        colon = close + 1;
        if (!isIpv6Text(url.host)) url.kind = PortKind::malformed;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) {
            url.kind = PortKind::malformed;
            return url;
        }
        url.host = rest.substr(0, colon);
        // A bare IPv6 address (more than one colon) needs its brackets.
        if (url.host.empty() || !std::all_of(url.host.begin(), url.host.end(), isNameCharacter))
            url.kind = PortKind::malformed;
    }
    if (!parsePortNumber(rest.substr(colon + 1), url.port)) url.kind = PortKind::malformed;
    if (url.kind == PortKind::malformed) {
        url.host.clear();
        url.port = 0;
    }
    return url;
}

std::string hostAndPort(const std::string& host, std::uint16_t port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace kelvo
