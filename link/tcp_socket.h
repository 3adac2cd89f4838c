#pragma once

// The TCP primitives of a network port, one file per platform: socket_posix.cpp (BSD sockets) and
// socket_win32.cpp (Winsock). Nothing here waits longer than it is told to.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvo {

// One address of a host, as the system resolved it.
struct SocketAddress {
    std::array<unsigned char, 128> bytes{};  // the system's socket address
    std::uint32_t length = 0;
};

// A TCP socket, closed with the object.
class TcpSocket {
public:
    TcpSocket() = default;
    explicit TcpSocket(std::intptr_t handle) : handle_(handle) {}
    ~TcpSocket();
    TcpSocket(TcpSocket&& other) noexcept : handle_(other.handle_) { other.handle_ = kNone; }
    TcpSocket& operator=(TcpSocket&& other) noexcept;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    bool valid() const { return handle_ != kNone; }
    std::intptr_t handle() const { return handle_; }
    void close();

    static constexpr std::intptr_t kNone = -1;

private:
    std::intptr_t handle_ = kNone;
};

// Resolves `host` (a name or a numeric address) for TCP on `port`. Blocks for as long as the
// system's resolver takes: the caller bounds the wait. False, with the system's reason in `why`,
// when the name does not resolve.
bool resolveHost(const std::string& host, std::uint16_t port, std::vector<SocketAddress>& addresses,
                 std::string& why);

enum class ConnectState { connected, waiting, refused, failed };

// Starts connecting a new non-blocking socket to `address`.
ConnectState startConnect(const SocketAddress& address, TcpSocket& socket, std::string& why);
// Waits up to waitMs for the connection started by startConnect to be made or to fail.
ConnectState awaitConnect(TcpSocket& socket, std::uint32_t waitMs, std::string& why);

// Sets up a connected socket for a serial line: no delay for small writes (a 1-byte ping goes out
// at once), and keepalive probes so that a peer that has gone silently (a cable pulled, a device
// server switched off) ends the connection within kDeadPeerMs. Best effort: a system that does not
// take a setting keeps its own.
void tuneConnection(TcpSocket& socket);

// Waits up to waitMs until the socket can be read (or has ended), or written when `write`.
// 1: ready, 0: not within the time, -1: the socket failed.
int awaitSocket(TcpSocket& socket, bool write, std::uint32_t waitMs);

// Reads what has arrived: the count (> 0), 0 when nothing has, -1 when the connection has ended
// (closed by the peer, reset, or failed).
long readSocket(TcpSocket& socket, std::uint8_t* buffer, std::size_t maximum);
// Writes what the socket takes now: the count (0 when it takes nothing now), or -1 when the
// connection has ended.
long writeSocket(TcpSocket& socket, const std::uint8_t* bytes, std::size_t count);

// Tells the peer that nothing more will be sent; what was written still reaches it.
void shutdownSending(TcpSocket& socket);

}  // namespace kelvo
