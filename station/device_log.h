#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kelvo {

// The station's record of every device: one JSON object per line, appended and written through
// to the disk before the station goes on. A "start" record when a device's update starts, an
// "end" record when it ends; both carry the device's number in the log.

// A device whose start was recorded but whose end was not: the station stopped during its update.
struct UnfinishedDevice {
    std::uint64_t device = 0;
    std::string port;
    std::string time;
    std::optional<std::uint32_t> serial;
};

// What an existing log tells a station that starts.
struct LogHistory {
    std::uint64_t lastDevice = 0;              // the highest device number recorded
    std::set<std::uint32_t> serialsNotFree;    // of devices that passed, or whose end is missing
    std::vector<UnfinishedDevice> unfinished;  // starts without an end
    std::vector<unsigned> unreadableLines;     // lines that are not records (a write cut short)
};

// Reads the log at `path`; a log that does not exist yet tells nothing. False when it exists but
// cannot be read.
bool readLogHistory(const std::string& path, LogHistory& history);

// The time now as ISO 8601 in UTC, to the millisecond: 2026-12-09T10:15:30.123Z.
std::string isoTimeNow();

class DeviceLog {
public:
    DeviceLog() = default;
    ~DeviceLog();
    DeviceLog(const DeviceLog&) = delete;
    DeviceLog& operator=(const DeviceLog&) = delete;

    // Opens the log for appending (creating it); false with the reason in `error` when it cannot
    // be written.
    bool open(const std::string& path, std::string& error);
    // Appends one record as a line and writes it through to the disk. Safe from every port at
    // once. False when it could not be written.
    bool append(const nlohmann::json& record);

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

}  // namespace kelvo
