// TCP primitives of a network port on Windows: Winsock 2.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h:
#include <mstcpip.h>

#include <cstring>
#include <mutex>

#include "common/time_limits.h"
#include "link/tcp_socket.h"

namespace kelvo {

namespace {

// Socket options that newer Windows versions take and older headers may not name.
constexpr int kTcpKeepCount = 16;            // TCP_KEEPCNT
constexpr int kTcpMaxRetransmitSeconds = 5;  // TCP_MAXRT

SOCKET socketOf(const TcpSocket& socket) {
    return static_cast<SOCKET>(socket.handle());
}

// Winsock is started once, on first use, for the rest of the process.
bool startWinsock() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data{};
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

std::string errorText(int error) {
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}

void setOption(SOCKET s, int level, int name, DWORD value) {
    setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

// Waits on one socket with select(): 1 ready, 0 not in time, -1 failed. With `failed`, the
// exception set is watched too, where a connect that failed shows. Only then: the socket stands in
// one set at a time otherwise, since Wine's server can fail an assertion and end every program of
// the prefix when a socket in two sets hangs up while select() is being set up. A connection that
// ends or resets shows as readable.
int selectOne(SOCKET s, bool write, std::uint32_t waitMs, bool* failed = nullptr) {
    fd_set ready;
    fd_set failures;
    FD_ZERO(&ready);
    FD_ZERO(&failures);
    FD_SET(s, &ready);
    FD_SET(s, &failures);
    timeval limit{static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000};
    const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr,
                         failed != nullptr ? &failures : nullptr, &limit);
    if (failed != nullptr) *failed = n > 0 && FD_ISSET(s, &failures);
    if (n < 0) return -1;
    return n > 0 ? 1 : 0;
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
    if (handle_ != kNone) closesocket(static_cast<SOCKET>(handle_));
    handle_ = kNone;
}

bool resolveHost(const std::string& host, std::uint16_t port, std::vector<SocketAddress>& addresses,
                 std::string& why) {
    if (!startWinsock()) {
        why = "Winsock cannot be started";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
        why = errorText(status);
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
    const SOCKET s = ::socket(target->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        why = errorText(WSAGetLastError());
        return ConnectState::failed;
    }
    TcpSocket made(static_cast<std::intptr_t>(s));
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    const int status = connect(s, target, static_cast<int>(address.length));
    socket = std::move(made);
    if (status == 0) return ConnectState::connected;
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINPROGRESS) return ConnectState::waiting;
    why = errorText(error);
    return error == WSAECONNREFUSED ? ConnectState::refused : ConnectState::failed;
}

ConnectState awaitConnect(TcpSocket& socket, std::uint32_t waitMs, std::string& why) {
    bool failed = false;
    const int ready = selectOne(socketOf(socket), true, waitMs, &failed);
    if (ready == 0) return ConnectState::waiting;
    int error = 0;
    int length = sizeof error;
    if (getsockopt(socketOf(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        error = WSAGetLastError();
    if (ready > 0 && !failed && error == 0) return ConnectState::connected;
    if (error == 0) error = WSAECONNREFUSED;  // failed without a reason: Windows' refused connect
    why = errorText(error);
    return error == WSAECONNREFUSED ? ConnectState::refused : ConnectState::failed;
}

void tuneConnection(TcpSocket& socket) {
    const SOCKET s = socketOf(socket);
    setOption(s, IPPROTO_TCP, TCP_NODELAY, 1);
    // A probe after a second of silence, then one a second: kDeadPeerMs in all where Windows
    // takes the count (from Windows 10 1703); older versions give up after ten probes.
    tcp_keepalive keepalive{1, 1000, 1000};
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &returned, nullptr, nullptr);
    setOption(s, IPPROTO_TCP, kTcpKeepCount, kDeadPeerMs / 1000 - 1);
    setOption(s, IPPROTO_TCP, kTcpMaxRetransmitSeconds, kDeadPeerMs / 1000);
}

int awaitSocket(TcpSocket& socket, bool write, std::uint32_t waitMs) {
    return selectOne(socketOf(socket), write, waitMs);  // a failure shows at the read or write that follows
}

long readSocket(TcpSocket& socket, std::uint8_t* buffer, std::size_t maximum) {
    const int n = recv(socketOf(socket), reinterpret_cast<char*>(buffer), static_cast<int>(maximum), 0);
    if (n > 0) return n;
    if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    return -1;
}

long writeSocket(TcpSocket& socket, const std::uint8_t* bytes, std::size_t count) {
    const int n = send(socketOf(socket), reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0);
    if (n >= 0) return n;
    if (WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    return -1;
}

void shutdownSending(TcpSocket& socket) {
    shutdown(socketOf(socket), SD_SEND);
}

}  // namespace kelvo
