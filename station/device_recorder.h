#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/stop_request.h"
#include "common/update_events.h"
#include "station/station.h"
#include "station/station_view.h"
#include "update/device_update.h"

namespace kelvo {

// Follows one device's update: its records, its progress on the screen, and what a failure said.
class DeviceRecorder : public EventSink {
public:
    DeviceRecorder(StationState& station, PortStatus& status, std::size_t index, std::uint64_t device,
                   std::optional<std::uint32_t> serial, StopRequest& stop)
        : station_(station), status_(status), index_(index), device_(device), serial_(serial), stop_(stop) {}

    void onEvent(const UpdateEvent& event) override;

    // The start record, once: at the identification, or at the end for a device that never got
    // that far.
    void recordStart(const UpdateEvent& id);

    void recordEnd(const UpdateResult& result, const std::string& extraProblem, double seconds);

    // The words of the image that no row of this device's chip sends, and the first of them.
    std::size_t unsentCount() const { return unsentCount_; }
    std::vector<std::string> unsentAddresses() const;

    // What kelvoup would have printed for the failure.
    std::string message(const UpdateResult& result, const std::string& extraProblem) const;

private:
    void phase(const char* name);
    void progress(std::size_t bytes);
    void recordsFailed();

    StationState& station_;
    PortStatus& status_;
    std::size_t index_;
    std::uint64_t device_;
    std::optional<std::uint32_t> serial_;
    StopRequest& stop_;
    bool startRecorded_ = false;
    DeviceRow row_;
    std::string message_;
    static constexpr std::size_t kUnsentListed = 8;
    std::vector<std::uint32_t> unsent_;
    std::size_t unsentCount_ = 0;
    std::size_t writeBytes_ = 0;
    std::size_t readBytes_ = 0;
    std::size_t done_ = 0;
    std::uint32_t started_ = 0;
};
}  // namespace kelvo
