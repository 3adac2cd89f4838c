#pragma once

#include <cstdint>

namespace kelvo {

class StopRequest;

// Every time limit and fixed pause of an update, in milliseconds. The tools always run with
// kDefaultLimits; the test suite gives an update shorter ones so that the same code paths finish
// quickly. They reach an update through its RunContext; nothing else can change them.
struct TimeLimits {
    std::uint32_t replyMs;      // an acknowledgement, the identification, a read-back
    std::uint32_t pingMs;       // one ping of the handshake
    std::uint32_t handshakeMs;  // the whole handshake
    std::uint32_t pauseMs;      // after the programming pass and before verification
    std::uint32_t quietMs;      // silence on the line before a frame follows a refusal, a reply that
                                // did not come in time, or the identification (and before the
                                // identification itself)
    std::uint32_t settleMs;     // the longest the line may take to fall quiet before the try fails
    std::uint32_t confirmMs;    // after an acknowledgement that follows a failed try: how much longer
                                // than the target's slowest answer the line must stay quiet for the
                                // acknowledgement to be the frame's own
    std::uint32_t connectMs;    // a network port: resolving, connecting and the device server's
                                // answers to the line settings, all together
};

inline constexpr TimeLimits kDefaultLimits{10000, 1000, 60000, 1000, 100, 1000, 200, 10000};

// A network peer that has gone silently (a cable pulled, a device server switched off) ends the
// connection after this long: keepalive probes, or data it never acknowledges.
inline constexpr std::uint32_t kDeadPeerMs = 4000;

// The time limits of a station's calls to the factory's ledger (a database server). The station
// always runs with kLedgerLimits; the tests give shorter ones.
struct LedgerLimits {
    std::uint32_t connectMs;  // a connection made, or the server taken as unreachable
    std::uint32_t callMs;     // one call answered (a reservation, a record), or the connection given up
    std::uint32_t schemaMs;   // the tables created or upgraded (another station may be doing it)
    std::uint32_t retryMs;    // how often a ledger that went away is tried again
    std::uint32_t checkMs;    // how often a ledger in use is checked while the ports do not call it
    // TCP keepalives: a connection idle this many seconds is probed every interval, and taken
    // as dead after `keepaliveCount` probes without an answer (about 11 s in all).
    std::uint32_t keepaliveIdleS;
    std::uint32_t keepaliveIntervalS;
    std::uint32_t keepaliveCount;
};

inline constexpr LedgerLimits kLedgerLimits{10000, 5000, 60000, 1000, 5000, 5, 2, 3};

// Millisecond tick counter; elapsed time is the unsigned 32-bit difference of two readings,
// so a wrap of the counter is harmless.
std::uint32_t tickCount();

// Milliseconds elapsed since the reading `start`.
inline std::uint32_t elapsedSince(std::uint32_t start) {
    return tickCount() - start;
}

// How long a wait goes on before it looks at its stop request again, where nothing else tells it
// sooner: a signal ends the wait of the thread it reaches at once, but not those of other threads
// (a station's ports), and a Windows console event reaches none.
inline constexpr std::uint32_t kStopCheckMs = 100;

// Sleeps for `ms`, or less when `stop` (if any) is requested meanwhile.
void sleepMs(std::uint32_t ms, const StopRequest* stop);

// Sleeps for `ms` even when the run is interrupted: for waits that are short and bounded in
// themselves, such as the drain before a close. The platform's own sleep, one file per platform:
// a thread's sleep (sleep_thread.cpp), or in the browser a wait that lets the worker's event loop
// run (sleep_web.cpp).
void sleepUninterruptedMs(std::uint32_t ms);

// Sleeps for up to `ms`; a signal that reaches this thread may end it sooner.
void napMs(std::uint32_t ms);

}  // namespace kelvo
