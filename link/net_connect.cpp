// Reaching a device server: the host name resolved and the connection made, within one limit.
#include "link/net_connect.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "common/stop_request.h"
#include "common/time_limits.h"
#include "link/port_url.h"

namespace kelvo {

namespace {

// Every wait is cut into slices of kStopCheckMs, so that a stop request is seen within one.

bool stopped(const StopRequest* stop) {
    return stop != nullptr && stop->requested();
}

// A lookup on a thread of its own: the system's resolver may take longer than the limit (a DNS
// server that does not answer), and cannot be told to stop. A lookup given up on finishes on its
// own and frees what it found.
struct Lookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool resolved = false;
    std::vector<SocketAddress> addresses;
    std::string why;
};

enum class Resolved { yes, no, late, interrupted };

Resolved resolveWithin(const std::string& host, std::uint16_t port, std::uint32_t start,
                       std::uint32_t limitMs, const StopRequest* stop, std::vector<SocketAddress>& addresses,
                       std::string& why) {
    auto lookup = std::make_shared<Lookup>();
    const auto work = [lookup, host, port] {
        std::vector<SocketAddress> found;
        std::string reason;
        const bool resolved = resolveHost(host, port, found, reason);
        const std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->resolved = resolved;
        lookup->addresses = std::move(found);
        lookup->why = std::move(reason);
        lookup->done = true;
        lookup->finished.notify_all();
    };
    try {
        std::thread(work).detach();
    } catch (const std::system_error&) {
        work();  // no thread to be had: the lookup waits as long as it takes
    }
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->done) {
        if (stopped(stop)) return Resolved::interrupted;
        const std::uint32_t elapsed = elapsedSince(start);
        if (elapsed >= limitMs) return Resolved::late;
        lookup->finished.wait_for(lock, std::chrono::milliseconds(std::min(kStopCheckMs, limitMs - elapsed)));
    }
    addresses = lookup->addresses;
    why = lookup->why;
    return lookup->resolved && !addresses.empty() ? Resolved::yes : Resolved::no;
}

}  // namespace

std::string secondsText(std::uint32_t ms) {
    return std::to_string((ms + 999) / 1000) + " s";
}

bool connectWithin(const std::string& host, std::uint16_t port, std::uint32_t limitMs,
                   const StopRequest* stop, TcpSocket& socket, std::string& problem) {
    const std::uint32_t start = tickCount();
    const std::string where = hostAndPort(host, port);
    std::vector<SocketAddress> addresses;
    std::string why;
    switch (resolveWithin(host, port, start, limitMs, stop, addresses, why)) {
        case Resolved::yes: break;
        case Resolved::no:
            problem = "the host name " + host + " does not resolve (" + why + ")";
            return false;
        case Resolved::late:
            problem = "the host name " + host + " did not resolve within " + secondsText(limitMs);
            return false;
        case Resolved::interrupted: problem = "interrupted"; return false;
    }
    bool late = false;
    std::string failure;
    for (const SocketAddress& address : addresses) {
        ConnectState state = startConnect(address, socket, why);
        while (state == ConnectState::waiting) {
            if (stopped(stop)) {
                problem = "interrupted";
                socket.close();
                return false;
            }
            const std::uint32_t elapsed = elapsedSince(start);
            if (elapsed >= limitMs) break;
            state = awaitConnect(socket, std::min(kStopCheckMs, limitMs - elapsed), why);
        }
        if (state == ConnectState::connected) {
            tuneConnection(socket);
            return true;
        }
        socket.close();
        late = late || state == ConnectState::waiting;
        if (state == ConnectState::failed) failure = why;
        if (late) break;
    }
    if (late) {
        problem = "no answer from " + where + " within " + secondsText(limitMs);
    } else if (!failure.empty()) {
        problem = "cannot connect to " + where + ": " + failure;
    } else {
        problem = where + " refused the connection (nothing listens on that port)";
    }
    return false;
}

}  // namespace kelvo
