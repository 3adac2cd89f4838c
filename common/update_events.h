#pragma once

#include <cstddef>
#include <cstdint>

#include "common/stop_request.h"
#include "common/time_limits.h"

namespace kelvo {

// What an update tells its front end, in the order it happens. Front ends turn these into their
// own presentation: kelvoup into its console texts, the station into its table and its records,
// the web page into its progress bar and log panel.
enum class EventKind {
    contacting,        // pinging the bootloader
    targetSilent,      // no answer to the pings within the handshake limit
    identifying,       // asking for the chip's identification
    chipIdentified,    // deviceId, revision, family, chip: the chip is in the table
    chipUnknown,       // the identification was cut short, or names a chip not in the table
    noMemory,          // the rows could not be created
    placing,           // putting the file's words into the rows
    wordOutOfRange,    // address: a word that no row sends
    nothingToWrite,    // no word of the file goes to this chip
    programming,       // count: frames to send, bytes: their bytes
    rowWritten,        // block: a slot of the row table, bytes: of its frame (0: nothing to send)
    frameResent,       // block: a frame sent again after a refusal or a silence
    rowRejected,       // block: refused or unanswered too often
    transmitted,       // every row went out
    validating,        // count: rows to read back, bytes: of their replies
    rowChecked,        // block: a program row, bytes: of its read-back (0: not read back)
    badData,           // block: its read-back differs or did not arrive
    passed,            // the verification passed: the update stands
    validationFailed,  // the verification failed
    portLost,          // text: the port's name; the port failed while in use
};

struct UpdateEvent {
    EventKind kind;
    int block = 0;
    std::uint32_t address = 0;
    std::size_t count = 0;
    std::size_t bytes = 0;
    std::uint16_t deviceId = 0;
    std::uint16_t revision = 0;
    int family = 4;
    const char* text = nullptr;  // the chip's name, or the port's
};

class EventSink {
public:
    virtual ~EventSink() = default;
    // Called on the update's own thread, in order; the update waits while it runs.
    virtual void onEvent(const UpdateEvent& event) = 0;
};

// Everything an update takes from outside besides its port and its image: its time limits, its
// stop request and where its events go. A port opened with a context carries it, so that every
// link and protocol operation on that port waits, stops and reports for that update alone.
struct RunContext {
    const TimeLimits* limits = &kDefaultLimits;
    const StopRequest* stop = nullptr;
    EventSink* events = nullptr;

    bool stopRequested() const { return stop != nullptr && stop->requested(); }
    void emit(const UpdateEvent& event) const {
        if (events != nullptr) events->onEvent(event);
    }
};

}  // namespace kelvo
