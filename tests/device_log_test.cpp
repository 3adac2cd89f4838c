// The station's log as a file: locked for one station, a regular file only, a cut last line and
// an over-long line read past, against the real file system.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "station/file_records.h"
#include "tests/test_support.h"

namespace {

using kelvotest::TempDir;

kelvo::RecordsConfig logAt(const std::string& path) {
    kelvo::RecordsConfig config;
    config.logPath = path;
    config.station = "line-1";
    config.serials = kelvo::SerialRange{100, 199};
    return config;
}

kelvo::DeviceRow startOf(std::uint64_t device, std::uint32_t serial) {
    kelvo::DeviceRow row;
    row.station = "line-1";
    row.port = "/dev/ttyS" + std::to_string(device);
    row.device = device;
    row.serial = serial;
    row.start = "2026-12-09T10:00:00.000Z";
    return row;
}

// A second station on the same log (in this process or another) is refused before it reads or
// writes anything, and says so; once the first has let go, the log is free again.
TEST(DeviceLog, ASecondStationOnTheSameLogIsRefused) {
    TempDir dir;
    const std::string path = dir.path("log.jsonl");
    std::string error;
    auto first = kelvo::openLogRecords(logAt(path), error);
    ASSERT_NE(first, nullptr) << error;
    EXPECT_EQ(kelvo::openLogRecords(logAt(path), error), nullptr);
    EXPECT_EQ(error, "The log " + path + " is in use by another station: the station does not start.");
    first.reset();
    EXPECT_NE(kelvo::openLogRecords(logAt(path), error), nullptr) << error;
}

// Only a regular file is a log: a FIFO (which would block an open), an endless device, a folder.
TEST(DeviceLog, OnlyARegularFileIsALog) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
    for (const std::string& path : {dir.path("fifo"), std::string("/dev/zero"), dir.path("")}) {
        std::string error;
        EXPECT_EQ(kelvo::openLogRecords(logAt(path), error), nullptr) << path;
        EXPECT_EQ(error, "The log " + path + " is not a regular file: the station does not start.");
        kelvo::LogContents contents;
        EXPECT_FALSE(kelvo::readLog(path, contents, error)) << path;
    }
}

// A crash or a full disk cut the last line: it is reported, and the next record starts on a line
// of its own instead of being glued onto it.
TEST(DeviceLog, ACutLastLineIsReportedAndTheNextRecordStartsOnANewLine) {
    TempDir dir;
    const std::string path = dir.path("log.jsonl");
    {
        std::string error;
        auto records = kelvo::openLogRecords(logAt(path), error);
        ASSERT_NE(records, nullptr) << error;
        ASSERT_TRUE(records->recordStart(0, startOf(1, 100)));
    }
    std::ofstream(path, std::ios::app) << R"({"event":"start","device":2,"port":"/dev/tt)";
    std::string error;
    auto records = kelvo::openLogRecords(logAt(path), error);
    ASSERT_NE(records, nullptr) << error;
    ASSERT_EQ(records->atStart().notes.size(), 2U);
    EXPECT_EQ(records->atStart().notes[0], "The log's line 2 is not a record (a write cut short?): skipped.");
    EXPECT_NE(records->atStart().notes[1].find("the next record starts on a new line"), std::string::npos);
    ASSERT_EQ(records->atStart().unfinished.size(), 1U);
    // The cut start held no serial number: 100 is the unfinished device's, 101 is next.
    const kelvo::SerialReservation next = records->reserveSerial(0, "/dev/ttyS3", 3);
    EXPECT_EQ(next.number, 101U);
    ASSERT_TRUE(records->recordStart(0, startOf(3, next.number)));
    records.reset();

    kelvo::LogContents contents;
    ASSERT_TRUE(kelvo::readLog(path, contents, error));
    EXPECT_EQ(contents.unreadableLines, std::vector<unsigned>{2});
    ASSERT_EQ(contents.devices.size(), 2U);
    EXPECT_EQ(contents.devices[1].device, 3U);
    EXPECT_FALSE(contents.lastLineCut);
}

// A line far longer than any record (a runaway writer, a binary file) is reported and skipped
// without being held in memory, and the records after it are read.
TEST(DeviceLog, AnOverlongLineIsSkippedInBoundedMemory) {
    TempDir dir;
    const std::string path = dir.path("log.jsonl");
    constexpr std::size_t kLineMiB = 48;
    {
        std::ofstream out(path, std::ios::binary);
        out << kelvo::startRecord(startOf(1, 100)).dump() << "\n";
        const std::string chunk(1 << 20, 'x');
        for (std::size_t i = 0; i < kLineMiB; ++i) out << chunk;
        out << "\n" << kelvo::startRecord(startOf(2, 101)).dump() << "\n";
        out << std::string(kelvo::kMaxRecordBytes + 1, ' ') << "\n";  // just over the limit
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    kelvo::LogContents contents;
    std::string error;
    ASSERT_TRUE(kelvo::readLog(path, contents, error)) << error;
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 8 * 1024) << "KiB more at the peak while reading";
    ASSERT_EQ(contents.devices.size(), 2U);
    EXPECT_EQ(contents.devices[1].device, 2U);
    EXPECT_EQ(contents.unreadableLines, (std::vector<unsigned>{2, 4}));
    ASSERT_EQ(contents.problems.size(), 2U);
    EXPECT_EQ(contents.problems[0], "The log's line 2 is longer than 64 KiB: not a record, skipped.");
}

}  // namespace
