// Serial link backend for a port of a device server on the network: rfc2217:// (Telnet with the
// COM port control of RFC 2217, the line set up as a local port is) and socket:// (the bytes as
// they are, the server's port set up beforehand). The socket primitives are the platform's
// (socket_posix.cpp, socket_win32.cpp).
#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/stop_request.h"
#include "common/time_limits.h"
#include "link/net_connect.h"
#include "link/port_state.h"
#include "link/tcp_socket.h"
#include "link/telnet.h"

namespace kelvo {

namespace {

// Every wait is cut into slices of kStopCheckMs, so that a stop request is seen within one.
// What one read takes from the socket at most.
constexpr std::size_t kReadChunk = 4096;
// At the close, the server's own close (it has read everything we sent) is awaited this many
// bytes' transmission time at most.
constexpr std::size_t kCloseDrainBytes = 64;

class NetPort final : public PortHandle::State {
public:
    NetPort(TcpSocket socket, bool telnet, std::uint32_t baud) : socket_(std::move(socket)), baud_(baud) {
        if (telnet) telnet_ = std::make_unique<TelnetSession>();
    }

    bool send(PortHandle& port, const std::uint8_t* bytes, std::size_t count) override;
    std::size_t receive(PortHandle& port, std::uint8_t* buffer, std::size_t maximum,
                        std::uint32_t waitMs) override;
    void purgeRemoteInput(PortHandle& port) override;
    void close(PortHandle& port) override;

    // Asks the device server for the line settings and waits until it has answered them all, at
    // most until `limitMs` after `start`: "" when it took them, otherwise why not.
    std::string setUp(const std::string& where, std::uint32_t start, std::uint32_t limitMs,
                      const StopRequest* stop);

private:
    enum class Fill { data, nothing, ended };
    enum class Written { all, late, ended };

    // Waits up to waitMs (one slice at most) and takes what has arrived into the input.
    Fill fill(std::uint32_t waitMs);
    Written write(const std::uint8_t* bytes, std::size_t count, std::uint32_t limitMs);
    // Sends what the Telnet session has to say; false when the connection has ended.
    bool flushTelnet();

    TcpSocket socket_;
    std::unique_ptr<TelnetSession> telnet_;  // none for a raw TCP port
    std::uint32_t baud_;
    std::vector<std::uint8_t> input_;  // the data received, not taken before index taken_
    std::size_t taken_ = 0;
    std::vector<std::uint8_t> encoded_;
};

NetPort::Written NetPort::write(const std::uint8_t* bytes, std::size_t count, std::uint32_t limitMs) {
    const std::uint32_t start = tickCount();
    std::size_t sent = 0;
    while (sent < count) {
        const long n = writeSocket(socket_, bytes + sent, count - sent);
        if (n < 0) return Written::ended;
        sent += static_cast<std::size_t>(n);
        if (sent == count) break;
        const std::uint32_t elapsed = elapsedSince(start);
        if (elapsed >= limitMs) return Written::late;
        if (awaitSocket(socket_, true, std::min(kStopCheckMs, limitMs - elapsed)) < 0) return Written::ended;
    }
    return Written::all;
}

bool NetPort::flushTelnet() {
    std::vector<std::uint8_t>& output = telnet_->output();
    if (output.empty()) return true;
    const Written written = write(output.data(), output.size(), transmissionMs(output.size(), baud_));
    output.clear();
    return written != Written::ended;
}

NetPort::Fill NetPort::fill(std::uint32_t waitMs) {
    const int ready = awaitSocket(socket_, false, std::min(waitMs, kStopCheckMs));
    if (ready < 0) return Fill::ended;
    if (ready == 0) return Fill::nothing;
    std::array<std::uint8_t, kReadChunk> chunk;
    const long n = readSocket(socket_, chunk.data(), chunk.size());
    if (n < 0) return Fill::ended;
    if (taken_ == input_.size()) {
        input_.clear();
        taken_ = 0;
    }
    const std::size_t before = input_.size();
    if (telnet_) {
        telnet_->decode(chunk.data(), static_cast<std::size_t>(n), input_);
        if (!flushTelnet()) return Fill::ended;
    } else {
        input_.insert(input_.end(), chunk.begin(), chunk.begin() + n);
    }
    return input_.size() > before ? Fill::data : Fill::nothing;
}

bool NetPort::send(PortHandle& port, const std::uint8_t* bytes, std::size_t count) {
    if (telnet_) {
        encoded_.clear();
        telnet_->encode(bytes, count, encoded_);
        bytes = encoded_.data();
    }
    const Written written = write(bytes, telnet_ ? encoded_.size() : count, transmissionMs(count, baud_));
    if (written == Written::ended) port.markLost();
    return written == Written::all;
}

std::size_t NetPort::receive(PortHandle& port, std::uint8_t* buffer, std::size_t maximum,
                             std::uint32_t waitMs) {
    if (taken_ == input_.size() && fill(waitMs) == Fill::ended) {
        port.markLost();  // the server closed the connection, or it was reset or has died
        return 0;
    }
    const std::size_t n = std::min(maximum, input_.size() - taken_);
    std::copy_n(input_.begin() + static_cast<long>(taken_), n, buffer);
    taken_ += n;
    return n;
}

void NetPort::purgeRemoteInput(PortHandle& port) {
    if (!telnet_) return;
    telnet_->requestPurge(false);
    if (!flushTelnet()) port.markLost();
}

void NetPort::close(PortHandle& port) {
    if (!port.broken()) {
        // What was written last (the reset) reaches the server before the connection ends: the
        // server closes its end once it has read everything, which ends the wait.
        shutdownSending(socket_);
        const std::uint32_t start = tickCount();
        const std::uint32_t limit = transmissionMs(kCloseDrainBytes, baud_);
        std::array<std::uint8_t, 256> chunk;
        for (std::uint32_t elapsed = 0; elapsed < limit; elapsed = elapsedSince(start)) {
            const int ready = awaitSocket(socket_, false, std::min(kStopCheckMs, limit - elapsed));
            if (ready < 0 || (ready > 0 && readSocket(socket_, chunk.data(), chunk.size()) < 0)) break;
        }
    }
    socket_.close();
}

std::string NetPort::setUp(const std::string& where, std::uint32_t start, std::uint32_t limitMs,
                           const StopRequest* stop) {
    const std::string closed = "the device server at " + where + " closed the connection";
    telnet_->start(baud_);
    if (!flushTelnet()) return closed;
    while (telnet_->settings() == TelnetSession::Settings::pending) {
        if (stop != nullptr && stop->requested()) return "interrupted";
        const std::uint32_t elapsed = elapsedSince(start);
        if (elapsed >= limitMs) {
            return "no answer to the line settings from " + where + " within " + secondsText(limitMs) +
                   " (a raw TCP port is named socket://)";
        }
        if (fill(limitMs - elapsed) == Fill::ended) return closed;
    }
    switch (telnet_->settings()) {
        case TelnetSession::Settings::refused:
            return "the device server at " + where + " refused the setting " + telnet_->refusedSetting();
        case TelnetSession::Settings::unsupported:
            return "the device server at " + where + " does not offer the COM port control of RFC 2217";
        default: break;
    }
    // As a local port's queues are purged at the open: nothing from before is an answer.
    telnet_->requestPurge(true);
    if (!flushTelnet()) return closed;
    input_.clear();
    taken_ = 0;
    return "";
}

}  // namespace

OpenResult openNetworkPort(PortHandle& port, const char* name, const PortUrl& url, const char* baudText,
                           const RunContext& context) {
    int baud = 0;
    if (std::sscanf(baudText, "%d", &baud) != 1 || baud <= 0) return OpenResult::cannotConfigure;
    if (url.kind == PortKind::malformed) {
        port.setOpenProblem(
            "a network port is named rfc2217://HOST:PORT or socket://HOST:PORT (an IPv6 address in "
            "brackets)");
        return OpenResult::networkFailure;
    }
    const std::uint32_t start = tickCount();
    const std::uint32_t limit = context.limits->connectMs;
    TcpSocket socket;
    std::string problem;
    if (!connectWithin(url.host, url.port, limit, context.stop, socket, problem)) {
        port.setOpenProblem(problem);
        return OpenResult::networkFailure;
    }
    auto state = std::make_unique<NetPort>(std::move(socket), url.kind == PortKind::rfc2217,
                                           static_cast<std::uint32_t>(baud));
    if (url.kind == PortKind::rfc2217) {
        problem = state->setUp(hostAndPort(url.host, url.port), start, limit, context.stop);
        if (!problem.empty()) {
            port.setOpenProblem(problem);
            return OpenResult::networkFailure;
        }
    }
    port.adopt(PortHandle::StatePtr(state.release()), name, static_cast<std::uint32_t>(baud), context);
    return OpenResult::opened;
}

}  // namespace kelvo
