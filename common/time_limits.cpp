#include "common/time_limits.h"

#include <chrono>

#include "common/stop_request.h"

namespace kelvo {

std::uint32_t tickCount() {
    using namespace std::chrono;
    const auto now = duration_cast<milliseconds>(steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(now.count());
}

void sleepMs(std::uint32_t ms, const StopRequest* stop) {
    // In slices, so that a stopped update does not sit out a long pause.
    const std::uint32_t start = tickCount();
    while (stop == nullptr || !stop->requested()) {
        const std::uint32_t elapsed = elapsedSince(start);
        if (elapsed >= ms) return;
        napMs(ms - elapsed < kStopCheckMs ? ms - elapsed : kStopCheckMs);
    }
}

}  // namespace kelvo
