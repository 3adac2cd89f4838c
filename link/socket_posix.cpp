// TCP primitives of a network port on Linux and other POSIX systems: BSD sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/time_limits.h"
#include "link/tcp_socket.h"

namespace kelvo {

namespace {

int fdOf(const TcpSocket& socket) {
    return static_cast<int>(socket.handle());
}

// A write to a connection the peer has closed fails with EPIPE instead of raising SIGPIPE.
#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

void setOption(int fd, int level, int name, int value) {
    setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

TcpSocket::~TcpSocket() {
    close();
}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = kNone;
    }
    return *this;
}

void TcpSocket::close() {
    if (handle_ != kNone) ::close(static_cast<int>(handle_));
    handle_ = kNone;
}

bool resolveHost(const std::string& host, std::uint16_t port, std::vector<SocketAddress>& addresses,
                 std::string& why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
        why = status == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(status);
        return false;
    }
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        SocketAddress address;
        if (a->ai_addrlen > address.bytes.size()) continue;
        std::memcpy(address.bytes.data(), a->ai_addr, a->ai_addrlen);
        address.length = static_cast<std::uint32_t>(a->ai_addrlen);
        addresses.push_back(address);
    }
    freeaddrinfo(found);
    return true;
}

ConnectState startConnect(const SocketAddress& address, TcpSocket& socket, std::string& why) {
    const auto* target = reinterpret_cast<const sockaddr*>(address.bytes.data());
    TcpSocket made(::socket(target->sa_family, SOCK_STREAM, IPPROTO_TCP));
    if (!made.valid()) {
        why = std::strerror(errno);
        return ConnectState::failed;
    }
    const int fd = fdOf(made);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int status = connect(fd, target, static_cast<socklen_t>(address.length));
    socket = std::move(made);
    if (status == 0) return ConnectState::connected;
    if (errno == EINPROGRESS || errno == EINTR) return ConnectState::waiting;
    why = std::strerror(errno);
    return errno == ECONNREFUSED ? ConnectState::refused : ConnectState::failed;
}

ConnectState awaitConnect(TcpSocket& socket, std::uint32_t waitMs, std::string& why) {
    pollfd p{fdOf(socket), POLLOUT, 0};
    const int ready = poll(&p, 1, static_cast<int>(waitMs));
    if (ready == 0 || (ready < 0 && errno == EINTR)) return ConnectState::waiting;
    int error = 0;
    socklen_t length = sizeof error;
    if (ready < 0 || getsockopt(fdOf(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0) return ConnectState::connected;
    why = std::strerror(error);
    return error == ECONNREFUSED ? ConnectState::refused : ConnectState::failed;
}

void tuneConnection(TcpSocket& socket) {
    const int fd = fdOf(socket);
    setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    setOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    // A probe after a second of silence, then one a second: kDeadPeerMs in all.
    const int probes = static_cast<int>(kDeadPeerMs / 1000) - 1;
#if defined(TCP_KEEPIDLE)
    setOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 1);
#endif
#if defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
    setOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 1);
    setOption(fd, IPPROTO_TCP, TCP_KEEPCNT, probes > 0 ? probes : 1);
#endif
    // Data the peer never acknowledges gives the connection up in the same time (Linux).
#if defined(TCP_USER_TIMEOUT)
    setOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(kDeadPeerMs));
#endif
    (void)probes;
}

int awaitSocket(TcpSocket& socket, bool write, std::uint32_t waitMs) {
    pollfd p{fdOf(socket), static_cast<short>(write ? POLLOUT : POLLIN), 0};
    const int ready = poll(&p, 1, static_cast<int>(waitMs));
    if (ready < 0) return errno == EINTR ? 0 : -1;
    return ready > 0 ? 1 : 0;
}

long readSocket(TcpSocket& socket, std::uint8_t* buffer, std::size_t maximum) {
    const ssize_t n = recv(fdOf(socket), buffer, maximum, 0);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return -1;  // the peer closed (0), or the connection was reset or failed
}

long writeSocket(TcpSocket& socket, const std::uint8_t* bytes, std::size_t count) {
    const ssize_t n = send(fdOf(socket), bytes, count, kSendFlags);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
}

void shutdownSending(TcpSocket& socket) {
    shutdown(fdOf(socket), SHUT_WR);
}

}  // namespace kelvo
