#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "common/time_limits.h"
#include "station/device_row.h"

namespace kelvo {

// `kelvo-station report`: the devices of a log or of the ledger in one list, for people (a short
// summary) or for a spreadsheet (CSV, one row per device). A log and a ledger holding the same
// devices give the same report.

struct ReportOptions {
    std::string ledger;   // a libpq connection string, or
    std::string logPath;  // a station's log
    std::string since;    // ISO dates or times: devices started at or after since, before until
    std::string until;
    std::string station;  // only this station's devices
    bool csv = false;
    LedgerLimits limits = kLedgerLimits;
};

// Reads an ISO 8601 date (2026-12-09) or time (2026-12-09T10:15, 2026-12-09 10:15:30, with Z or an
// offset such as +01:00; local time without one) into UTC as the records write it
// (2026-12-09T09:15:00.000Z). A date alone is its day's first moment, or with `endOfDay` the next
// day's (so that --until 2026-12-09 takes in the whole of the 9th). False when it is not one.
bool parseReportTime(const std::string& text, bool endOfDay, std::string& utc);

// Seconds since 1970 of a record's time (2026-12-09T10:15:30.123Z); 0 when it is not one.
double recordSeconds(const std::string& iso);

// The devices that match (a device counts by its start), in the order of their start.
std::vector<DeviceRow> selectDevices(std::vector<DeviceRow> rows, const std::string& station,
                                     const std::string& since, const std::string& until);

// The summary for people: devices, outcomes, yield, devices per hour; per station and per port;
// failures by phase and message, most frequent first; serial numbers used, as ranges; unfinished
// devices.
std::string reportSummary(const std::vector<DeviceRow>& rows);

// One row per device with a header row, RFC 4180 (fields quoted where they need it, CRLF).
std::string reportCsv(const std::vector<DeviceRow>& rows);

// "1000-1041, 1043, 1045-1050"
std::string serialRanges(std::vector<std::uint32_t> numbers);

// Reads the devices, filters them and writes the report on `out`; what is wrong with the source is
// said on `problems`. Returns the exit status: 0, or 1 when the log or the ledger cannot be read
// or an option's value is not understood.
int runReport(const ReportOptions& options, std::FILE* out, std::FILE* problems);

// `kelvo-station report ...` with argv[0] "report": its options read (a command line it cannot
// use: the usage and status 2), then runReport.
int runReportCommand(int argc, char** argv, std::FILE* out, std::FILE* problems);

}  // namespace kelvo
