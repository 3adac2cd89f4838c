#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "station/device_row.h"
#include "station/station_platform.h"

namespace kelvo {

// The station's record of every device: one JSON object per line, appended and written through
// to the disk before the station goes on. A "start" record when a device's update starts, an
// "end" record when it ends; both carry the device's number in the log.

// A line longer than this is not a record: it is reported and skipped, and reading it takes no
// more memory than this.
inline constexpr std::size_t kMaxRecordBytes = 64 * 1024;

// A device whose start was recorded but whose end was not: the station stopped during its update.
struct UnfinishedDevice {
    std::uint64_t device = 0;
    std::string port;
    std::string time;
    std::optional<std::uint32_t> serial;
};

// Everything a log holds: its devices in the order of their first record, and what in it is not
// a record.
struct LogContents {
    std::vector<DeviceRow> devices;
    std::vector<std::string> problems;  // one sentence each, for the operator
    std::vector<unsigned> unreadableLines;
    bool lastLineCut = false;  // the file does not end with a line end
};

// Reads the log at `path`; a log that does not exist yet holds nothing. False with the reason in
// `error` when it exists but cannot be read, or is not a regular file.
bool readLog(const std::string& path, LogContents& contents, std::string& error);

// What an existing log tells a station that starts.
struct LogHistory {
    std::uint64_t lastDevice = 0;              // the highest device number recorded
    std::set<std::uint32_t> serialsNotFree;    // of devices that passed, or whose end is missing
    std::vector<UnfinishedDevice> unfinished;  // starts without an end
    std::vector<unsigned> unreadableLines;     // lines that are not records (a write cut short)
    std::vector<std::string> problems;
};

LogHistory historyOf(const LogContents& contents);
// readLog, then historyOf; false when it cannot be read.
bool readLogHistory(const std::string& path, LogHistory& history);

// The records of a device as the log holds them; `applyRecord` takes one record (start or end)
// into its row, false when it is not a record of a device.
nlohmann::json startRecord(const DeviceRow& row);
nlohmann::json endRecord(const DeviceRow& row);
bool applyRecord(const nlohmann::json& record, DeviceRow& row);
// The device a record is about: its station ("" in logs without one) and number.
bool recordKey(const nlohmann::json& record, std::string& station, std::uint64_t& device);

// The time now as ISO 8601 in UTC, to the millisecond: 2026-12-09T10:15:30.123Z.
std::string isoTimeNow();

class DeviceLog {
public:
    DeviceLog() = default;
    ~DeviceLog();
    DeviceLog(const DeviceLog&) = delete;
    DeviceLog& operator=(const DeviceLog&) = delete;

    // Opens the log for appending (creating it) and locks it for this station while the object
    // lives: `locked` when another station holds it, `notRegular` for anything but a regular
    // file, `failed` with the reason in `error` when it cannot be written. A last line cut short
    // is closed by a line end before the next record.
    LogOpen openLocked(const std::string& path, std::string& error);
    // openLocked, with every refusal said in `error`.
    bool open(const std::string& path, std::string& error);
    // Appends one record as a line and writes it through to the disk. Safe from every port at
    // once. False when it could not be written.
    bool append(const nlohmann::json& record);

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    bool newLineFirst_ = false;
};

}  // namespace kelvo
