#include "common/interrupt.h"

#include <atomic>

namespace kelvo {

namespace {
// Lock-free, so that a signal handler may set it.
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);
}  // namespace

void requestInterrupt() {
    gInterrupted.store(true);
}

void clearInterrupt() {
    gInterrupted.store(false);
}

bool interruptRequested() {
    return gInterrupted.load();
}

}  // namespace kelvo
