#pragma once

#include <atomic>

namespace kelvo {

// A request that an update stop: every wait of the update then ends at once and nothing more is
// sent or awaited. Set from any thread or from a signal handler (the flag is lock-free). A request
// may have a parent: it then also counts as made when its parent's is (a station stops every port
// at once, and each port on its own).
class StopRequest {
public:
    StopRequest() = default;
    explicit StopRequest(const StopRequest* parent) : parent_(parent) {}
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    void request() { requested_.store(true); }
    // Forgets the request (a station port going on to the next device; tests).
    void clear() { requested_.store(false); }
    bool requested() const { return requested_.load() || (parent_ != nullptr && parent_->requested()); }

private:
    std::atomic<bool> requested_{false};
    const StopRequest* parent_ = nullptr;
    static_assert(std::atomic<bool>::is_always_lock_free);
};

}  // namespace kelvo
