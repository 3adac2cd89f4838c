#pragma once

#include <cstdio>
#include <string>

#include "common/update_events.h"

namespace kelvo {

// kelvoup's console: printf-style messages to `out`, each flushed at once when `out` is a
// terminal (they mostly end without a line end); redirected output is buffered as usual. It is
// also the sink of the update's events, which it prints in the system's own words.
class Console : public EventSink {
public:
    explicit Console(std::FILE* out);
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void
    say(const char* format, ...);
    void write(const std::string& text);
    void onEvent(const UpdateEvent& event) override;

private:
    std::FILE* out_;
    bool interactive_;
};

}  // namespace kelvo
