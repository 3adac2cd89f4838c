// The platform's sleep on Windows. A console event (Ctrl-C) is handled on a thread of its own and
// never cuts a sleep short: a stopped update notices at the end of its nap.
#include <windows.h>

#include "common/time_limits.h"

namespace kelvo {

void sleepUninterruptedMs(std::uint32_t ms) {
    Sleep(ms);
}

void napMs(std::uint32_t ms) {
    Sleep(ms);
}

}  // namespace kelvo
