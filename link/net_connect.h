#pragma once

#include <cstdint>
#include <string>

#include "link/tcp_socket.h"

namespace kelvo {

class StopRequest;

// Resolves `host` and connects to it on `port` within `limitMs` in all, trying each of its
// addresses in turn; a stop request ends the wait at once. On success the socket is connected and
// tuned for a serial line (tuneConnection). Otherwise `problem` says why in a few words: the host
// name does not resolve, the connection was refused, no answer came in time, or what the system
// said.
bool connectWithin(const std::string& host, std::uint16_t port, std::uint32_t limitMs,
                   const StopRequest* stop, TcpSocket& socket, std::string& problem);

// "10 s": a limit as the messages give it, in whole seconds (rounded up).
std::string secondsText(std::uint32_t ms);

}  // namespace kelvo
