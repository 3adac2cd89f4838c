// kelvo-station report's core: ISO times for --since and --until, the summary, and the CSV.
#include "station/report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

using kelvo::DeviceRow;

DeviceRow device(const std::string& station, const std::string& port, std::uint64_t number,
                 const std::string& outcome, std::optional<std::uint32_t> serial, const std::string& start,
                 const std::string& message = "") {
    DeviceRow row;
    row.station = station;
    row.port = port;
    row.device = number;
    row.outcome = outcome;
    row.serial = serial;
    row.start = start;
    if (outcome != "unfinished") row.end = start.substr(0, 14) + "59:00.000Z";
    if (outcome == "failed") {
        row.phase = message.empty() ? "contact" : "verify";
        row.message = message.empty() ? "Device not responding" : message;
    }
    return row;
}

// Local times are read in the zone of the machine (here one an hour east of UTC, with summer
// time), times with Z or an offset as they say; a date alone is a whole day.
TEST(Report, TakesIsoDatesAndTimes) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    struct Case {
        const char* text;
        bool endOfDay;
        const char* utc;  // nullptr: refused
    };
    const Case cases[] = {
        {"2026-12-09", false, "2026-12-08T23:00:00.000Z"},
        {"2026-12-09", true, "2026-12-09T23:00:00.000Z"},
        {"2026-07-09", false, "2026-07-08T22:00:00.000Z"},
        {"2026-12-09T10:15", false, "2026-12-09T09:15:00.000Z"},
        {"2026-12-09 10:15:30", true, "2026-12-09T09:15:30.000Z"},
        {"2026-12-09T10:15:30.5Z", false, "2026-12-09T10:15:30.500Z"},
        {"2026-12-09T10:15:30+02:00", false, "2026-12-09T08:15:30.000Z"},
        {"2026-12-31T23:30-0100", false, "2027-01-01T00:30:00.000Z"},
        {"2028-02-29", false, "2028-02-28T23:00:00.000Z"},
        {"2026-02-29", false, nullptr},
        {"2026-12-09T24:00", false, nullptr},
        {"09.12.2026", false, nullptr},
        {"2026-12-09T10:15 ", false, nullptr},
        {"yesterday", false, nullptr},
    };
    for (const Case& c : cases) {
        std::string utc;
        EXPECT_EQ(kelvo::parseReportTime(c.text, c.endOfDay, utc), c.utc != nullptr) << c.text;
        if (c.utc != nullptr) {
            EXPECT_EQ(utc, c.utc) << c.text;
        }
    }
    unsetenv("TZ");
    tzset();
}

// The summary: interrupted devices apart and out of the yield, rates per hour, a table per station
// and per port, failures most frequent first, the numbers used as ranges, the unfinished devices.
TEST(Report, TheSummaryForPeople) {
    const std::vector<DeviceRow> rows = kelvo::selectDevices(
        {device("line-2", "COM3", 1, "passed", 1003, "2026-12-09T11:00:00.000Z"),
         device("line-1", "/dev/ttyUSB0", 1, "passed", 1000, "2026-12-09T10:00:00.000Z"),
         device("line-1", "/dev/ttyUSB0", 2, "failed", std::nullopt, "2026-12-09T10:10:00.000Z"),
         device("line-1", "/dev/ttyUSB1", 3, "failed", std::nullopt, "2026-12-09T10:20:00.000Z",
                "ATTENTION: block #7"),
         device("line-1", "/dev/ttyUSB1", 4, "failed", std::nullopt, "2026-12-09T10:30:00.000Z"),
         device("line-1", "/dev/ttyUSB0", 5, "interrupted", std::nullopt, "2026-12-09T10:40:00.000Z"),
         device("line-1", "/dev/ttyUSB1", 6, "passed", 1001, "2026-12-09T10:45:00.000Z"),
         device("line-2", "COM3", 2, "passed", 1002, "2026-12-09T11:30:00.000Z"),
         device("line-2", "COM4", 3, "unfinished", 1004, "2026-12-09T11:45:00.000Z"),
         device("line-2", "COM3", 4, "passed", 1006, "2026-12-09T11:50:00.000Z")},
        "", "", "");
    const std::string summary = kelvo::reportSummary(rows);
    const std::string expected[] = {
        // 9 ended between the first start at 10:00 and the last end at 11:59: 4.5 an hour
        "Devices: 10 (5 passed, 3 failed, 1 interrupted, 1 unfinished); yield 62.5%; 4.5 devices per hour\n"
        "From 2026-12-09 10:00:00 to 2026-12-09 11:59:00 (UTC)\n",
        "  line-1        6       2       3           1   40.0%       6.1\n",
        "  line-2        4       3       0           0  100.0%       3.1\n",
        "  line-1 /dev/ttyUSB1       3       1       2           0   33.3%       4.6\n",
        "  line-2 COM4               1       0       0           0       -         -\n",
        "      2  contact  Device not responding\n      1  verify   ATTENTION: block #7\n",
        "Serial numbers used: 1000-1003, 1006\n",
        "  line-2 device 3 on COM4, started 2026-12-09 11:45:00, serial number 1004 (never handed out "
        "again)\n",
    };
    for (const std::string& part : expected)
        EXPECT_NE(summary.find(part), std::string::npos) << part << "\nin:\n" << summary;
}

// One row per device in the order of their start, the header first; a field with a comma, a quote
// or a line end is quoted with its quotes doubled; lines end with CRLF.
TEST(Report, TheCsvQuotesWhatNeedsIt) {
    DeviceRow row = device("line \"A\"", "/dev/ttyUSB0", 7, "failed", 1234, "2026-12-09T10:00:00.000Z",
                           "ATTENTION: block #7, \"bad\"\nagain");
    row.seconds = 12.5;
    const std::string csv = kelvo::reportCsv({row});
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")),
              "station,port,device,serial,outcome,phase,message,chip,family,device_id,revision,image,image_"
              "sha256,start,"
              "end,seconds,resends,rows_written,rows_verified,words_not_sent,words_not_sent_at");
    EXPECT_EQ(csv.substr(csv.find("\r\n") + 2),
              "\"line \"\"A\"\"\",/dev/ttyUSB0,7,1234,failed,verify,\"ATTENTION: block #7, "
              "\"\"bad\"\"\nagain\",,,,,,,"
              "2026-12-09T10:00:00.000Z,2026-12-09T10:59:00.000Z,12.500,,,,,\r\n");
}

}  // namespace
