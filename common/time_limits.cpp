#include "common/time_limits.h"

#include <chrono>
#include <thread>

#include "common/interrupt.h"

namespace kelvo {

namespace {
TimeLimits gLimits = kDefaultLimits;
}

const TimeLimits& timeLimits() {
    return gLimits;
}

void setTimeLimits(const TimeLimits& limits) {
    gLimits = limits;
}

std::uint32_t tickCount() {
    using namespace std::chrono;
    const auto now = duration_cast<milliseconds>(steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(now.count());
}

void sleepUninterruptedMs(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void sleepMs(std::uint32_t ms) {
    // In slices, so that an interrupted run does not sit out a long pause.
    const std::uint32_t start = tickCount();
    while (!interruptRequested()) {
        const std::uint32_t elapsed = elapsedSince(start);
        if (elapsed >= ms) return;
        const std::uint32_t slice = ms - elapsed < 20 ? ms - elapsed : 20;
        std::this_thread::sleep_for(std::chrono::milliseconds(slice));
    }
}

}  // namespace kelvo
