#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/stop_request.h"
#include "link/serial_link.h"
#include "station/station.h"
#include "station/station_view.h"
#include "update/device_update.h"

namespace kelvo {

// One port of a station, on a thread of its own: waits for a device (pings until its bootloader
// answers), updates and verifies it with a record in the log, then waits until the device has been
// silent long enough to have been removed, and takes the next one. A port that cannot be opened,
// or is lost, is tried again; nothing here stops or slows the other ports.
class PortWorker {
public:
    PortWorker(StationState& station, std::size_t index);
    void run();

private:
    bool openNow();
    bool waitForDevice();
    void updateDevice();
    std::optional<std::uint32_t> reserveSerial(std::uint64_t device, bool& usedUp);
    void waitForRemoval();
    void show(PortState state, std::string detail = "");
    void say(const std::string& text);
    // Sleeps in slices until `ms` have passed or the station ends.
    void pause(std::uint32_t ms);
    bool stopping() const;

    StationState& station_;
    std::size_t index_;
    std::string name_;
    PortStatus status_;
    StopRequest stop_;
    PortHandle port_;
    bool everOpened_ = false;
};

}  // namespace kelvo
