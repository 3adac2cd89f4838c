// The parts of the serial link that are the same on every platform.
#include "link/serial_link.h"

#include <algorithm>
#include <array>

#include "common/time_limits.h"
#include "link/port_state.h"

namespace kelvo {

void PortHandle::StateDeleter::operator()(State* state) const {
    delete state;
}

PortHandle::PortHandle() = default;

PortHandle::~PortHandle() {
    closePort(*this);
}

PortHandle::PortHandle(PortHandle&& other) noexcept
    : state_(std::move(other.state_)),
      name_(std::move(other.name_)),
      baud_(other.baud_),
      context_(other.context_),
      lost_(other.lost_),
      settled_(other.settled_),
      slowestReplyMs_(other.slowestReplyMs_) {
    other.lost_ = false;
    other.settled_ = false;
}

PortHandle& PortHandle::operator=(PortHandle&& other) noexcept {
    if (this != &other) {
        closePort(*this);
        state_ = std::move(other.state_);
        name_ = std::move(other.name_);
        baud_ = other.baud_;
        context_ = other.context_;
        lost_ = other.lost_;
        settled_ = other.settled_;
        slowestReplyMs_ = other.slowestReplyMs_;
        other.lost_ = false;
        other.settled_ = false;
    }
    return *this;
}

void PortHandle::adopt(StatePtr state, std::string name, std::uint32_t baud, const RunContext& context) {
    state_ = std::move(state);
    name_ = std::move(name);
    baud_ = baud;
    context_ = context;
    lost_ = false;
    settled_ = false;
    slowestReplyMs_ = 0;
}

PortHandle::StatePtr PortHandle::release() {
    return std::move(state_);
}

bool PortHandle::lost() const {
    return lost_ || (!settled_ && context_.stopRequested());
}

void PortHandle::markLost() {
    if (lost_ || (!settled_ && context_.stopRequested())) return;
    lost_ = true;
    // After a passed verification a line lost while the reset goes out changes nothing.
    if (!settled_) emit({.kind = EventKind::portLost, .text = name_.c_str()});
}

std::uint32_t lineTimeMs(const PortHandle& port, std::size_t count) {
    if (!port.valid() || port.baud() == 0) return 0;
    const std::uint64_t bitsTimesMs = static_cast<std::uint64_t>(count) * 11000U;
    return static_cast<std::uint32_t>((bitsTimesMs + port.baud() - 1) / port.baud());
}

std::uint32_t transmissionMs(std::size_t count, std::uint32_t baud) {
    const std::uint64_t ms = static_cast<std::uint64_t>(count) * 22000U / (baud == 0 ? 1 : baud);
    return static_cast<std::uint32_t>(ms) + 200U;
}

std::size_t receiveAvailable(PortHandle& port, std::uint8_t* buffer, std::size_t maximum) {
    return receiveQueued(port, buffer, maximum, 1);
}

std::size_t receiveWithin(PortHandle& port, std::uint8_t* buffer, std::size_t count, std::uint32_t limitMs) {
    if (!port.valid()) return 0;
    // A long reply trickles in at the line's pace, a few bytes at a time. Once its pace is seen,
    // the wait sleeps through most of the time the rest still needs instead of waking for every
    // few bytes; it never sleeps past the moment the rest could be complete at that pace, so the
    // reply is not taken later than it comes.
    constexpr std::uint32_t kLongestNap = 100;
    const std::uint32_t start = tickCount();
    std::uint32_t paceFrom = 0;  // when the first bytes had arrived, and how many
    std::size_t paceBytes = 0;
    std::size_t received = 0;
    while (received != count && !port.lost()) {
        const std::uint32_t elapsed = elapsedSince(start);
        if (elapsed >= limitMs) break;
        const std::size_t got = receiveQueued(port, buffer + received, count - received, limitMs - elapsed);
        if (got == 0) continue;
        if (received == 0) {
            paceFrom = tickCount();
            paceBytes = got;
        }
        received += got;
        const std::uint32_t paced = elapsedSince(paceFrom);
        if (received == count || received == paceBytes || paced < 5) continue;
        // Milliseconds the rest needs at the pace seen so far; four fifths of it, at most a nap.
        const std::uint64_t rest =
            static_cast<std::uint64_t>(count - received) * paced / (received - paceBytes);
        const std::uint32_t left = limitMs - elapsedSince(start);
        const auto nap =
            static_cast<std::uint32_t>(std::min<std::uint64_t>({rest * 4 / 5, kLongestNap, left}));
        if (nap > 1) sleepMs(nap, port.context().stop);
    }
    return received;
}

OpenResult openPort(PortHandle& port, const char* name, const char* baudText, const RunContext& context) {
    closePort(port);
    port.setOpenProblem("");
    const PortUrl url = parsePortUrl(name);
    if (url.kind == PortKind::local) return openSerialPort(port, name, baudText, context);
    return openNetworkPort(port, name, url, baudText, context);
}

bool sendBytes(PortHandle& port, const std::uint8_t* bytes, std::size_t count) {
    PortHandle::State* s = port.state();
    if (s == nullptr || port.lost()) return false;
    return s->send(port, bytes, count);
}

std::size_t receiveQueued(PortHandle& port, std::uint8_t* buffer, std::size_t maximum, std::uint32_t waitMs) {
    PortHandle::State* s = port.state();
    if (s == nullptr || port.lost() || maximum == 0) return 0;
    return s->receive(port, buffer, maximum, waitMs);
}

void closePort(PortHandle& port) {
    PortHandle::State* s = port.state();
    if (s == nullptr) return;
    s->close(port);
    port.release();  // and with it the state
}

std::string describePorts(const std::vector<std::string>& names) {
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
    return list.empty() ? "none found" : list;
}

void discardInput(PortHandle& port) {
    // More than the driver's input queue holds: a line still sending after that is not stale.
    constexpr std::size_t kMostDiscarded = 8192;
    std::array<std::uint8_t, 256> scratch{};
    std::size_t discarded = 0;
    while (discarded < kMostDiscarded) {
        const std::size_t n = receiveQueued(port, scratch.data(), scratch.size(), 0);
        if (n == 0) break;
        // Stale bytes here: a device server may hold more of them. Asked only then, since a
        // server can take tens of milliseconds over it, which every clean exchange would wait.
        if (discarded == 0 && port.state() != nullptr && !port.lost()) port.state()->purgeRemoteInput(port);
        discarded += n;
    }
}

bool receiveExact(PortHandle& port, std::uint8_t* buffer, std::size_t count) {
    return receiveExact(port, buffer, count, port.limits().replyMs);
}

bool receiveExact(PortHandle& port, std::uint8_t* buffer, std::size_t count, std::uint32_t limitMs) {
    if (!port.valid()) return false;
    return receiveWithin(port, buffer, count, limitMs) == count;
}

}  // namespace kelvo
