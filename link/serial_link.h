#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/update_events.h"

namespace kelvo {

// The open serial port: a port of this computer, or a port of a device server on the network
// (rfc2217://HOST:PORT, socket://HOST:PORT). A default-constructed handle is the invalid handle:
// no port is open, receives report failure and closing does nothing. The handle closes its port
// when it goes out of scope.
class PortHandle {
public:
    struct State;  // each kind of port's own (link/port_state.h)
    struct StateDeleter {
        void operator()(State* state) const;
    };
    using StatePtr = std::unique_ptr<State, StateDeleter>;

    PortHandle();
    ~PortHandle();
    PortHandle(PortHandle&& other) noexcept;
    PortHandle& operator=(PortHandle&& other) noexcept;
    PortHandle(const PortHandle&) = delete;
    PortHandle& operator=(const PortHandle&) = delete;

    bool valid() const { return state_ != nullptr; }
    // True once the port has failed hard while in use (an adapter pulled out, a hang-up), or
    // its update has been asked to stop: either way nothing more is to be sent or awaited.
    bool lost() const;
    // True once the port has failed hard; unlike lost(), not set by an interrupt.
    bool broken() const { return lost_; }
    // From now on a stop request no longer stops the port: the outcome of the run is settled and
    // what remains (the reset, the close) is to be done whatever the user asks.
    void settle() { settled_ = true; }
    // A new update begins on the open port (a station updates device after device without closing
    // it): a stop request stops it again, and nothing is known yet of how fast its target answers.
    void beginUpdate() {
        settled_ = false;
        slowestReplyMs_ = 0;
    }
    // The longest the update's target has taken to answer a frame, from the moment the frame was
    // handed to the port.
    std::uint32_t slowestReplyMs() const { return slowestReplyMs_; }
    void noteReplyMs(std::uint32_t ms) {
        if (ms > slowestReplyMs_) slowestReplyMs_ = ms;
    }

    // The update the port serves: its limits, its stop request, where its events go. Set by
    // openPort; the invalid handle has the default context (default limits, no stop, no events).
    const RunContext& context() const { return context_; }
    const TimeLimits& limits() const { return *context_.limits; }
    void emit(const UpdateEvent& event) const { context_.emit(event); }
    // Makes the port serve another update (or the same one with another event sink); returns the
    // context it served before.
    RunContext useContext(const RunContext& context) {
        const RunContext before = context_;
        context_ = context;
        return before;
    }

    // For the backends only.
    State* state() const { return state_.get(); }
    void adopt(StatePtr state, std::string name, std::uint32_t baud, const RunContext& context);
    StatePtr release();
    // Reports the loss once, with the interface name, and makes every later operation fail at once.
    // Once the outcome is settled the loss is not reported: the update stands.
    void markLost();

    // The line speed the port was opened with (0 for the invalid handle).
    std::uint32_t baud() const { return baud_; }

    // Why the last open of a network port failed (OpenResult::networkFailure), in a few words:
    // "127.0.0.1:4001 refused the connection".
    const std::string& openProblem() const { return openProblem_; }
    void setOpenProblem(std::string problem) { openProblem_ = std::move(problem); }

private:
    StatePtr state_;
    std::string name_;
    std::uint32_t baud_ = 0;
    RunContext context_;
    bool lost_ = false;
    bool settled_ = false;
    std::uint32_t slowestReplyMs_ = 0;
    std::string openProblem_;
};

enum class OpenResult {
    opened,
    cannotOpen,       // another program holds it, or it failed to open
    noSuchPort,       // no port of that name
    noPermission,     // the user may not open it
    notReady,         // opened, but it is not a serial port (or not ready)
    cannotConfigure,  // opened, but the line settings failed
    networkFailure    // a network port that cannot be reached or set up: PortHandle::openProblem()
};

// Opens the interface with 8 data bits, odd parity, 1 stop bit, no flow control, at the
// decimal speed in baudText, DTR and RTS off, both queues purged, for the update `context`.
// A network port is connected within the context's connect limit; an rfc2217:// port's device
// server is asked for those settings and must answer them, a socket:// port's must have them
// already. Prints nothing: the caller reports the result.
OpenResult openPort(PortHandle& port, const char* name, const char* baudText, const RunContext& context = {});

// Hands every byte to the port in order. True when all of them were written within the time
// the transmission takes (plus a small margin).
bool sendBytes(PortHandle& port, const std::uint8_t* bytes, std::size_t count);

// Reads up to `maximum` of the bytes already queued. When none are queued it waits at most 1 ms
// for one and returns 0 if none came.
std::size_t receiveAvailable(PortHandle& port, std::uint8_t* buffer, std::size_t maximum);

// Receives until `count` bytes have arrived or `limitMs` has passed; returns how many arrived.
// The bytes received stay at the start of the buffer either way.
std::size_t receiveWithin(PortHandle& port, std::uint8_t* buffer, std::size_t count, std::uint32_t limitMs);

// True when exactly `count` bytes arrived within the port's reply limit (10 s).
bool receiveExact(PortHandle& port, std::uint8_t* buffer, std::size_t count);
// True when exactly `count` bytes arrived within `limitMs`.
bool receiveExact(PortHandle& port, std::uint8_t* buffer, std::size_t count, std::uint32_t limitMs);

// Discards what is queued on the input side, without waiting for more: the protocol is one
// exchange at a time, so a byte that arrived before a frame is sent answers nothing. Bounded, so
// that a line that never stops cannot hold the tool here. When there were such bytes, an
// rfc2217:// port's device server is asked to discard what it still holds for us as well.
void discardInput(PortHandle& port);

// Lets pending output reach the line, discards both queues, restores the settings the port had
// before it was opened and closes it. The handle becomes the invalid handle.
void closePort(PortHandle& port);

// Makes every signal that ends a run request `stop` instead of killing the process, so that the
// ports are closed and restored: SIGINT, SIGTERM, SIGHUP and SIGQUIT on POSIX; Ctrl-C, Ctrl-Break,
// the console's close, logoff and shutdown on Windows. One per process: the front end's.
void installInterruptHandler(StopRequest& stop);

// Makes the process safe against the console it was started with, before anything is opened: a
// standard descriptor that is closed is opened on the null device, so that neither the port nor
// the file takes its number (console text would go out on the line), and a console reader that
// goes away (a closed pipe) no longer ends the process: the update goes on to its end.
void protectStandardStreams();

// The serial ports of this computer, by name, separated by ", "; "none found" when there are
// none. Linux: /dev/serial/by-id/* and the /dev/ttyUSB*, /dev/ttyACM* and /dev/ttyS* devices that
// are serial ports; Windows: the COM ports the system knows. On POSIX the paths are looked up
// below `root` (tests give a tree of their own).
std::string listSerialPorts(const std::string& root = "");

// The group that a user who may not open the port `name` could join to be allowed to: the
// device's group, when that group may read and write it and is not root's. "" when there is no
// such group (and on Windows, which has no device groups).
std::string portGroup(const char* name);

// The time `count` bytes take on the port's line: 11 bits a byte (start, 8 data, parity, stop) at
// its speed, rounded up; 0 for the invalid handle.
std::uint32_t lineTimeMs(const PortHandle& port, std::size_t count);

// How long `count` bytes may take on the line: 11 bits a byte at `baud`, doubled, plus 200 ms.
// Writes and the drain before a close are bounded by it.
std::uint32_t transmissionMs(std::size_t count, std::uint32_t baud);

// Backend helper: port names as listSerialPorts gives them ("a, b", or "none found").
std::string describePorts(const std::vector<std::string>& names);

// Backend primitive: reads what is queued; when nothing is, waits up to waitMs for input.
std::size_t receiveQueued(PortHandle& port, std::uint8_t* buffer, std::size_t maximum, std::uint32_t waitMs);

}  // namespace kelvo
