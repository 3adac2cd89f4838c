#pragma once

#include <cstdint>
#include <string>

#include "tests/test_support.h"

namespace kelvotest {

// Debian's ser2net in front of a serial device (a simulator's pty), started with a configuration
// of its own in a temporary folder, listening on a free port of 127.0.0.1, and stopped with the
// object. `rfc2217`: Telnet with the COM port control; otherwise raw TCP. `lineSettings` are the
// device's settings before any client asks for others ("9600o81"). `port`: the one it listens on
// (one a server before it had), or 0 for a free one.
class Ser2net {
public:
    Ser2net(const std::string& device, bool rfc2217, const std::string& lineSettings = "9600o81",
            std::uint16_t port = 0);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    // Whether it is listening (it was found on the PATH and took the configuration).
    bool ready() const { return ready_; }
    // The port's name for the tools: rfc2217://127.0.0.1:PORT or socket://127.0.0.1:PORT.
    const std::string& url() const { return url_; }
    std::uint16_t port() const { return port_; }
    // Waits up to `ms` for a client to be connected to it.
    bool waitForClient(int ms) const;
    // Kills it at once (SIGKILL): its connections end as when a device server is switched off
    // and its system closes them.
    void kill();

private:
    TempDir dir_;
    int pid_ = -1;
    std::uint16_t port_ = 0;
    std::string url_;
    bool ready_ = false;
};

// A port of 127.0.0.1 that nothing listens on: a connection is refused.
std::uint16_t unusedPort();

// A listening socket of 127.0.0.1 whose queue of connections is full: a connection to it gets no
// answer at all, as a host that drops the packets. Closed with the object.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::uint16_t port() const { return port_; }

private:
    int listener_ = -1;
    int queued_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace kelvotest
