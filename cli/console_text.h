#pragma once

#include <cstdio>
#include <string>

#include "common/update_events.h"

namespace kelvo {

// The console tool's words, kept exactly as they always were (spelling included). kelvoup prints
// them; the station and the web page show them as "the tool's messages".

// The text kelvoup prints for an event of an update ("" for events it does not print).
std::string eventText(const UpdateEvent& event);

// The text of an event as one line, for a record or a log panel: without the line ends around it.
std::string eventLine(const UpdateEvent& event);

// Whether the event is one that a failed update reports (its text says what went wrong).
bool reportsFailure(EventKind kind);

extern const char kMsgPortNotReady[];
extern const char kMsgPortSetupFailed[];
extern const char kMsgInterrupted[];

// kelvoup's console: printf-style messages to `out`, each flushed at once when `out` is a
// terminal (they mostly end without a line end); redirected output is buffered as usual. It is
// also the sink of the update's events, which it prints as the texts above.
class Console : public EventSink {
public:
    explicit Console(std::FILE* out);
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void
    say(const char* format, ...);
    void onEvent(const UpdateEvent& event) override;

private:
    void write(const std::string& text);

    std::FILE* out_;
    bool interactive_;
};

}  // namespace kelvo
