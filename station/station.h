#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/stop_request.h"
#include "image/hex_image.h"
#include "protocol/device_table.h"
#include "station/device_records.h"
#include "station/shared_image.h"
#include "station/station_view.h"

namespace kelvo {

// Serial numbers FIRST to LAST, written at target word address `wordAddress` of every device.
struct SerialPlan {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::uint32_t wordAddress = 0;
};

struct StationConfig {
    std::vector<std::string> ports;
    std::string imageName;    // the HEX file's name, for the records
    std::string imageSha256;  // of the HEX file
    bool once = false;        // one device on each port, then end
    std::uint64_t count = 0;  // end once this many devices have passed in all ports (0: no limit)
    std::optional<SerialPlan> serials;
    std::string logPath = "kelvo-station.jsonl";
    std::string station;  // the station's name in every record
    std::string ledger;   // the factory's ledger (a libpq connection string); empty: the log alone
};

// The time a device must stay silent after its update before the port takes the next device: a
// device just updated restarts into its bootloader and answers pings for a while.
inline constexpr std::uint32_t kRemovalSilenceMs = 3000;
// How often a port that cannot be opened is tried again.
inline constexpr std::uint32_t kReopenMs = 1000;
// How often the live table is redrawn.
inline constexpr std::uint32_t kRedrawMs = 250;
// How often a port that needs a serial number asks a ledger that cannot be reached again.
inline constexpr std::uint32_t kLedgerWaitMs = 1000;

// What every port of a station shares. Everything here is safe to use from every port at once.
class StationState {
public:
    StationState(const StationConfig& config, SharedImage& image, DeviceRecords& records, StationView& view,
                 StopRequest& interrupt, std::uint64_t lastDevice)
        : config(config),
          image(image),
          records(records),
          view(view),
          interrupt(interrupt),
          nextDevice_(lastDevice + 1) {}

    const StationConfig& config;
    SharedImage& image;
    DeviceRecords& records;  // the log, or the ledger and the log: the ports never know which
    StationView& view;
    StopRequest& interrupt;  // every port stops, and updates in progress end as interrupted

    // Whether the ports take no new device: the count has been reached, the serial numbers are
    // used up, the records can no longer be written, or the station was interrupted.
    bool ending() const { return ending_.load() || interrupt.requested(); }
    // Makes the ports take no new device, for the reason given (said once, above the table).
    void end(const std::string& why);
    // Whether a device found on a port may be updated now. Under --count a device is started only
    // when it cannot take the station beyond the count: while devices in progress could still
    // reach it, a port waits; once they have, the station ends.
    enum class Admission { start, wait, end };
    // Reserves the device's place when it may start.
    Admission admitDevice();
    // The device admitted by admitDevice ended, or was not started after all.
    void deviceEnded(bool passed);
    void cancelDevice();
    std::uint64_t nextDeviceNumber() { return nextDevice_++; }
    // Says once per chip family that the image has words no row of that family sends (kelvoup
    // reports each as "Address out of range"): a property of the image, not of a device.
    void noteUnsentWords(DeviceFamily family, std::size_t count, const std::vector<std::string>& first);
    // A port that could not be served (never opened under --once), or records that failed.
    void markProblem() { problem_ = true; }
    bool problem() const { return problem_.load(); }

private:
    std::mutex mutex_;
    std::atomic<bool> ending_{false};
    std::atomic<bool> problem_{false};
    std::atomic<std::uint64_t> nextDevice_;
    std::set<DeviceFamily> unsentNoted_;
    std::uint64_t passed_ = 0;
    std::uint64_t inProgress_ = 0;
};

// Runs a station: one port worker per port, each device after device, with a record of every
// device in the log; the view on `out`. Returns the exit status: 0 when every device the station
// started passed, 1 when any failed or a port could not be served, 130 when interrupted.
int runStation(const StationConfig& config, HexImage image, StopRequest& interrupt, std::FILE* out);

}  // namespace kelvo
