// The station's rules, each through the real kelvo-station against kelvo-sim fixtures: what its
// records say, how its serial numbers and device numbers are handed out, when a device counts as
// removed, and how its ports come back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/station_support.h"
#include "tests/test_support.h"

namespace {

using kelvotest::Fixture;
using kelvotest::fixtureOptions;
using kelvotest::ProcessResult;
using kelvotest::records;
using kelvotest::station;
using kelvotest::stationIsWindows;
using kelvotest::TempDir;
using nlohmann::json;

// Two program rows that are read back (words 0x1C00 and 0x1C40 of a dsPIC30F).
std::string twoRowImage() {
    return kelvotest::hexRecord(4, 0, {0x00, 0x00}) +
           kelvotest::hexRecord(0, 0x3800, {0x11, 0x22, 0x33, 0x00, 0x44, 0x55, 0x66, 0x00}) +
           kelvotest::hexRecord(0, 0x3880, {0x77, 0x66, 0x55, 0x00}) + kelvotest::hexRecord(1, 0, {});
}

// The end records of a log, in order.
std::vector<json> ends(const std::string& log) {
    std::vector<json> found;
    for (const json& record : records(log)) {
        if (record.is_object() && record["event"] == "end") found.push_back(record);
    }
    return found;
}

// Runs the station in the background until `done` holds for its log (or 60 s), then interrupts it.
int runUntil(const std::vector<std::string>& args, const std::string& log, bool (*done)(const std::string&)) {
    const pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        kelvotest::execOrExit(kelvotest::stationCommand(args));
    }
    for (int i = 0; i < 6000 && !done(kelvotest::readFile(log)); ++i) usleep(10000);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// One port, device after device, numbers 65535-65536 at word 0x1C80 (a row of its own): the first
// device has a row refused twice, the second is pulled out in the middle of a row and the third
// fails its verification, each giving its number back, the fourth takes it (a number above 0xFFFF,
// written as S0 S1 00 00 S2 S3 00 00), and the fifth finds the range used up. Every record says
// what happened.
TEST(StationRules, SerialRangeToItsLastNumberAndWhatEachRecordSays) {
    if (stationIsWindows()) GTEST_SKIP() << "the main scenario is the one run under Wine";
    TempDir dir;
    const std::string image = dir.write("fw.hex", twoRowImage());
    const std::string log = dir.path("log.jsonl");
    Fixture fixture(
        dir, "a",
        fixtureOptions({"--devices", "5", "--on-device", "1", "--refuse-frame", "1:2", "--on-device", "2",
                        "--hangup-after", "1", "--on-device", "3", "--flip-readback", "0x1C40:1"}));
    const ProcessResult r = station(
        {"-i", fixture.link, "--serial", "65535-65536", "--serial-at", "0x1C80", "--log", log, image});
    EXPECT_EQ(r.status, 1) << r.output;  // a device failed
    EXPECT_NE(r.output.find("the serial numbers 65535-65536 are used up"), std::string::npos) << r.output;
    fixture.sim->finish(1000);

    const std::vector<json> all = records(log);
    ASSERT_EQ(all.size(), 8U) << kelvotest::readFile(log) << r.output;
    EXPECT_EQ(all[0]["event"], "start");
    EXPECT_EQ(all[0]["chip"], "dsPIC30F2010");
    EXPECT_EQ(all[0]["device_id"], 0x0040);
    EXPECT_EQ(all[0]["revision"], 1);
    struct Expected {
        const char* outcome;
        std::uint32_t serial;
        int resends, rowsWritten, rowsVerified;
    };
    // Three program rows (the serial number's included) and the seven configuration words.
    const Expected expected[] = {{"passed", 65535, 2, 10, 3},
                                 {"failed", 65536, 0, 1, 0},
                                 {"failed", 65536, 0, 10, 1},
                                 {"passed", 65536, 0, 10, 3}};
    const std::vector<json> endRecords = ends(log);
    ASSERT_EQ(endRecords.size(), 4U);
    for (std::size_t i = 0; i < 4; ++i) {
        const json& end = endRecords[i];
        EXPECT_EQ(end["outcome"], expected[i].outcome) << "device " << i + 1;
        EXPECT_EQ(end["serial"], expected[i].serial) << "device " << i + 1;
        EXPECT_EQ(end["resends"], expected[i].resends) << "device " << i + 1;
        EXPECT_EQ(end["rows_written"], expected[i].rowsWritten) << "device " << i + 1;
        EXPECT_EQ(end["rows_verified"], expected[i].rowsVerified) << "device " << i + 1;
    }
    // The second device's line went away: the tool's own words say so.
    EXPECT_EQ(endRecords[1]["phase"], "write");
    EXPECT_NE(
        endRecords[1]["message"].get<std::string>().find("Lost connection to serial port " + fixture.link),
        std::string::npos)
        << endRecords[1]["message"];
    EXPECT_EQ(endRecords[2]["phase"], "verify");
    EXPECT_NE(endRecords[2]["message"].get<std::string>().find("ATTENTION: block #113 has bad data."),
              std::string::npos);
    kelvotest::expectImageWithSerial(fixture.dump(4), image, 65536, 0x1C80);
    EXPECT_EQ(fixture.stats(5).identifications, 0);
}

// Every record is written through to the disk (fsync) before the thread that wrote it goes on.
TEST(StationRules, EveryRecordReachesTheDiskBeforeTheStationGoesOn) {
    if (stationIsWindows()) GTEST_SKIP() << "strace follows the Linux build";
    TempDir dir;
    const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string log = dir.path("log.jsonl");
    const std::string trace = dir.path("trace");
    Fixture fixture(dir, "a", fixtureOptions({"--devices", "1"}));
    std::vector<std::string> args = {"/usr/bin/strace", "-f", "-qq", "-e",
                                     "trace=openat,write,fsync,fdatasync", "-e", "signal=none", "-o", trace,
                                     // A sanitizer build's leak check cannot run under ptrace.
                                     "/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"};
    for (const std::string& arg :
         kelvotest::stationCommand({"-i", fixture.link, "--once", "--log", log, image}))
        args.push_back(arg);
    const ProcessResult r = kelvotest::runProcess(args);
    ASSERT_EQ(r.status, 0) << r.output << r.errors;
    fixture.sim->finish(1000);
    // The log's descriptor, then each thread's calls in order: a record written, then its fsync.
    std::istringstream lines(kelvotest::readFile(trace));
    std::string line;
    std::string logFd;
    std::map<std::string, std::string> pendingOf;  // thread -> the log write not yet synced
    int records = 0;
    while (std::getline(lines, line)) {
        if (logFd.empty() && line.find("openat(") != std::string::npos &&
            line.find(log) != std::string::npos) {
            logFd = line.substr(line.rfind("= ") + 2);
            continue;
        }
        // "THREAD NAME(FD, ..." : a call on a descriptor
        std::istringstream words(line);
        std::string thread, call;
        words >> thread >> call;
        const std::size_t paren = call.find('(');
        if (logFd.empty() || paren == std::string::npos) continue;
        const std::string name = call.substr(0, paren);
        const std::string fd = call.substr(paren + 1, call.find_first_of(",)", paren) - paren - 1);
        if (!pendingOf[thread].empty()) {
            EXPECT_TRUE((name == "fsync" || name == "fdatasync") && fd == logFd)
                << "after a record, " << line;
            pendingOf[thread].clear();
        }
        if (name == "write" && fd == logFd) {
            pendingOf[thread] = line;
            ++records;
        }
    }
    EXPECT_EQ(records, 2);  // the device's start and end
    for (const auto& [thread, pending] : pendingOf) EXPECT_EQ(pending, "") << "never synced";
}

// A device answers its bootloader's pings for a while after its reset, then runs its application:
// a port takes the next device only once the pings have gone unanswered for 3 s.
TEST(StationRules, TheNextDeviceOnlyAfterThreeSecondsOfSilence) {
    if (stationIsWindows()) GTEST_SKIP() << "the main scenario is the one run under Wine";
    struct Case {
        const char* name;
        std::vector<std::string> fixture;
        int secondIdentified;  // identifications of the fixture's second device
    };
    const Case cases[] = {
        // Answers for 5 s after its reset: still the same device, identified once.
        {"a bootloader that answers for 5 s", {"--boot-window", "5000", "--application-ms", "3200"}, 1},
        // Silent for 1.5 s, then answering again: not a new device; it never got 3 s of silence.
        {"a device silent for 1.5 s", {"--boot-window", "300", "--application-ms", "1500"}, 0},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
        const std::string log = dir.path("log.jsonl");
        std::vector<std::string> options = c.fixture;
        options.insert(options.end(), {"--devices", "2"});
        Fixture fixture(dir, "a", options);
        const std::vector<std::string> args = {"-i", fixture.link, "--count", "2", "--log", log, image};
        if (c.secondIdentified == 1) {
            EXPECT_EQ(station(args).status, 0) << c.name;
        } else {
            // Long enough for the second device to have been taken if the rule were shorter.
            runUntil(args, log, [](const std::string& text) {
                static int polls = 0;
                return text.find("\"end\"") != std::string::npos && ++polls > 600;
            });
        }
        fixture.sim->finish(0);
        EXPECT_EQ(fixture.stats(1).identifications, 1) << c.name;
        EXPECT_EQ(fixture.stats(2).identifications, c.secondIdentified) << c.name;
    }
}

// A line that goes away while the port waits for a device (the adapter pulled out) is closed and
// opened again; the next device, on the line that comes back, is served.
TEST(StationRules, ALineLostWhileWaitingComesBackWithTheNextDevice) {
    if (stationIsWindows()) GTEST_SKIP() << "the main scenario is the one run under Wine";
    TempDir dir;
    const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string log = dir.path("log.jsonl");
    Fixture fixture(
        dir, "a",
        fixtureOptions({"--devices", "2", "--on-device", "1", "--silent", "--drop-line-after", "1500"}));
    const ProcessResult r = station({"-i", fixture.link, "--count", "1", "--log", log, image});
    EXPECT_EQ(r.status, 0) << r.output;
    fixture.sim->finish(1000);
    const std::vector<json> endRecords = ends(log);
    ASSERT_EQ(endRecords.size(), 1U);
    EXPECT_EQ(endRecords[0]["outcome"], "passed");
    EXPECT_EQ(endRecords[0]["port"], fixture.link);
    EXPECT_EQ(fixture.stats(2).resets, 1);
}

// --count N starts no more devices than could reach N: three ports with a device each, --count 2.
TEST(StationRules, TheCountStartsNoMoreDevicesThanItNeeds) {
    if (stationIsWindows()) GTEST_SKIP() << "the main scenario is the one run under Wine";
    TempDir dir;
    const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string log = dir.path("log.jsonl");
    std::vector<std::unique_ptr<Fixture>> fixtures;
    std::vector<std::string> args = {"--count", "2", "--log", log, image};
    for (const char* name : {"a", "b", "c"}) {
        fixtures.push_back(
            std::make_unique<Fixture>(dir, name, fixtureOptions({"--devices", "1", "--row-ms", "100"})));
        args.insert(args.begin(), {"-i", fixtures.back()->link});
    }
    const ProcessResult r = station(args);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Devices: 2 passed, 0 failed"), std::string::npos) << r.output;
    int identified = 0;
    for (const auto& f : fixtures) {
        f->sim->finish(0);
        identified += f->stats(1).identifications;
    }
    EXPECT_EQ(identified, 2);
    EXPECT_EQ(ends(log).size(), 2U);
}

// A serial number's place outside the program memory of the chip found fails that device before
// anything is written, and its number goes back: the next device is given the same one.
TEST(StationRules, ASerialNumberOutsideTheChipFailsThatDeviceAlone) {
    if (stationIsWindows()) GTEST_SKIP() << "the main scenario is the one run under Wine";
    TempDir dir;
    const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string log = dir.path("log.jsonl");
    const std::string wire = dir.path("rx.bin");
    // A dsPIC30F's program rows end at word 0x1FFFF; a dsPIC33F's go on to 0x1FFFFF.
    Fixture fixture(dir, "a", fixtureOptions({"--devices", "2", "--rx-log", wire}));
    runUntil({"-i", fixture.link, "--serial", "1-9", "--serial-at", "0x100000", "--log", log, image}, log,
             [](const std::string& text) { return kelvotest::countOf(text, "\"end\"") >= 2; });
    fixture.sim->finish(1000);
    const std::vector<json> endRecords = ends(log);
    ASSERT_EQ(endRecords.size(), 2U);
    for (const json& end : endRecords) {
        EXPECT_EQ(end["outcome"], "failed");
        EXPECT_EQ(end["phase"], "prepare");
        EXPECT_EQ(end["serial"], 1);
        EXPECT_NE(end["message"].get<std::string>().find("outside this chip's program memory"),
                  std::string::npos);
        EXPECT_EQ(end["rows_written"], 0);
    }
    // Pings, identifications and resets only: no write frame reached the devices.
    const std::string bytes = kelvotest::readFile(wire);
    EXPECT_EQ(bytes.find_first_not_of(std::string("\x0B\x09\x08", 3)), std::string::npos);
}

}  // namespace
