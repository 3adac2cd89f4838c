// The platform's sleep on Linux and other POSIX systems.
#include <time.h>

#include <cerrno>

#include "common/time_limits.h"

namespace kelvo {

namespace {
timespec duration(std::uint32_t ms) {
    return {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
}
}  // namespace

void sleepUninterruptedMs(std::uint32_t ms) {
    timespec left = duration(ms);
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void napMs(std::uint32_t ms) {
    // A signal to this thread (Ctrl-C in kelvoup) ends it at once.
    const timespec wanted = duration(ms);
    nanosleep(&wanted, nullptr);
}

}  // namespace kelvo
