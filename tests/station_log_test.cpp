// What a station learns from its log at start: the serial numbers it may hand out again and where
// its device numbers go on.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "station/device_log.h"
#include "station/serial_numbers.h"
#include "tests/test_support.h"

namespace {

// A device's start and end records; `outcome` empty leaves the end out (the station was killed).
std::string deviceRecords(int device, std::uint32_t serial, const std::string& outcome) {
    const std::string common = "\"port\":\"/dev/ttyUSB0\",\"device\":" + std::to_string(device) +
                               ",\"serial\":" + std::to_string(serial);
    std::string lines = "{\"event\":\"start\",\"time\":\"2026-12-09T10:00:00.000Z\"," + common + "}\n";
    if (!outcome.empty()) lines += "{\"event\":\"end\",\"outcome\":\"" + outcome + "\"," + common + "}\n";
    return lines;
}

// A restart hands out the lowest number of --serial FIRST-LAST that no device that passed holds and
// no device whose outcome is missing was given: never one below FIRST, wherever the numbers in use
// lie; failed and interrupted devices gave theirs back.
TEST(StationLog, ARestartHandsOutOnlyFreeNumbersOfItsRange) {
    struct Case {
        const char* name;
        std::string log;
        std::uint32_t first, last;
        std::vector<std::optional<std::uint32_t>> handedOut;  // take() after take()
    };
    const Case cases[] = {
        {"passed numbers below FIRST",
         deviceRecords(1, 3, "passed") + deviceRecords(2, 4, "passed"),
         10,
         11,
         {10, 11, std::nullopt}},
        {"a passed number at FIRST", deviceRecords(1, 10, "passed"), 10, 12, {11, 12, std::nullopt}},
        {"passed numbers in the middle",
         deviceRecords(1, 11, "passed") + deviceRecords(2, 13, "passed"),
         10,
         14,
         {10, 12, 14, std::nullopt}},
        {"failed and interrupted numbers given back",
         deviceRecords(1, 10, "failed") + deviceRecords(2, 11, "interrupted") +
             deviceRecords(3, 12, "passed"),
         10,
         13,
         {10, 11, 13, std::nullopt}},
        {"a number whose outcome is missing", deviceRecords(1, 10, ""), 10, 11, {11, std::nullopt}},
        {"the last number of the range", "", 5, 6, {5, 6, std::nullopt}},
    };
    for (const Case& c : cases) {
        kelvotest::TempDir dir;
        kelvo::LogHistory history;
        ASSERT_TRUE(kelvo::readLogHistory(dir.write("log.jsonl", c.log), history)) << c.name;
        kelvo::SerialNumbers serials(c.first, c.last, history.serialsNotFree);
        for (std::size_t i = 0; i < c.handedOut.size(); ++i) {
            EXPECT_EQ(serials.take(), c.handedOut[i]) << c.name << ", number " << i + 1;
        }
    }
}

// Device numbers go on above the highest in the log, though ports end out of order.
TEST(StationLog, DeviceNumbersGoOnAboveTheHighest) {
    kelvotest::TempDir dir;
    kelvo::LogHistory history;
    const std::string log = deviceRecords(7, 1, "passed") + deviceRecords(3, 2, "failed");
    ASSERT_TRUE(kelvo::readLogHistory(dir.write("log.jsonl", log), history));
    EXPECT_EQ(history.lastDevice, 7U);
    EXPECT_TRUE(history.unfinished.empty());
}

}  // namespace
