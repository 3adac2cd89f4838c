#include "common/time_limits.h"

#include <chrono>
#include <thread>

#include "common/stop_request.h"

namespace kelvo {

std::uint32_t tickCount() {
    using namespace std::chrono;
    const auto now = duration_cast<milliseconds>(steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(now.count());
}

void sleepUninterruptedMs(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void sleepMs(std::uint32_t ms, const StopRequest* stop) {
    // In slices, so that a stopped update does not sit out a long pause.
    const std::uint32_t start = tickCount();
    while (stop == nullptr || !stop->requested()) {
        const std::uint32_t elapsed = elapsedSince(start);
        if (elapsed >= ms) return;
        const std::uint32_t slice = ms - elapsed < 20 ? ms - elapsed : 20;
        std::this_thread::sleep_for(std::chrono::milliseconds(slice));
    }
}

}  // namespace kelvo
