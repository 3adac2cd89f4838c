// The platform's sleep where there are threads: the thread sleeps.
#include <chrono>
#include <thread>

#include "common/time_limits.h"

namespace kelvo {

void sleepUninterruptedMs(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace kelvo
