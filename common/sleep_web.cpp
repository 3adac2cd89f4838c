// The platform's sleep in the browser: the update runs in a worker, whose event loop must go on
// while it waits (the port's bytes and a Cancel arrive as messages), so the wait yields to it.
#include <emscripten.h>

#include "common/time_limits.h"

namespace kelvo {

void sleepUninterruptedMs(std::uint32_t ms) {
    emscripten_sleep(ms);
}

void napMs(std::uint32_t ms) {
    emscripten_sleep(ms);
}

}  // namespace kelvo
