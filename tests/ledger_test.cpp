// The factory ledger against a real PostgreSQL server: its tables made by several stations at
// once, serial numbers claimed by several stations at once, a connection killed in the middle of
// a claim, a server that goes away and comes back, and a start that cannot reach it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "station/ledger_records.h"
#include "station/ledger_schema.h"
#include "station/report.h"
#include "tests/ledger_support.h"
#include "tests/pg_server.h"
#include "tests/test_support.h"

namespace {

using kelvo::DeviceRow;
using kelvo::SerialReservation;
using kelvotest::LedgerStation;
using kelvotest::testServer;

// Six stations meet an empty database at the same moment: each finds the tables ready, made once.
TEST(Ledger, TablesAreMadeOnceWhenManyStationsStartAtOnce) {
    kelvotest::PgServer& server = testServer();
    ASSERT_EQ(server.problem(), "");
    const std::string db = server.freshDatabase();
    std::vector<std::thread> threads;
    std::atomic<int> ready{0};
    std::mutex errorsMutex;
    std::vector<std::string> errors;
    for (int i = 0; i < 6; ++i) {
        threads.emplace_back([&] {
            kelvo::PgConnection connection;
            std::string error;
            if (connection.open(server.conninfo(db), kelvo::kLedgerLimits, "test", error) &&
                kelvo::prepareLedgerSchema(connection, kelvo::kLedgerLimits, error)) {
                ++ready;
            } else {
                const std::lock_guard<std::mutex> lock(errorsMutex);
                errors.push_back(error);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(ready.load(), 6) << (errors.empty() ? "" : errors[0]);
    EXPECT_EQ(server.query(db, "SELECT version FROM kelvo_schema"),
              std::to_string(kelvo::kLedgerSchemaVersion));

    // A ledger at an earlier version is brought up to this one's; a newer one is not touched.
    server.query(db, "UPDATE kelvo_schema SET version = 1");
    std::string error;
    EXPECT_NE(LedgerStation::open(server.conninfo(db), "line-1", error), nullptr) << error;
    EXPECT_EQ(server.query(db, "SELECT version FROM kelvo_schema"),
              std::to_string(kelvo::kLedgerSchemaVersion));
    server.query(db, "UPDATE kelvo_schema SET version = 99");
    EXPECT_EQ(LedgerStation::open(server.conninfo(db), "line-1", error), nullptr);
    EXPECT_NE(error.find("newer than this station's"), std::string::npos) << error;
}

// Two stations of four ports each claim numbers from one range as fast as they can: no number is
// handed out twice, none of them is told the range is used up, and together they take the lowest
// ones, with no gap. The range is numbered in one go, so that a port that looks while another
// numbers it finds every number with its row, and must look again for a free one.
TEST(Ledger, StationsClaimingAtOnceNeverShareANumber) {
    kelvotest::PgServer& server = testServer();
    const std::string db = server.freshDatabase();
    std::string error;
    auto a = LedgerStation::open(server.conninfo(db), "line-a", error, {1000, 1999}, 4);
    ASSERT_NE(a, nullptr) << error;
    auto b = LedgerStation::open(server.conninfo(db), "line-b", error, {1000, 1999}, 4);
    ASSERT_NE(b, nullptr) << error;
    constexpr int kEach = 40;
    std::mutex mutex;
    std::vector<std::uint32_t> numbers;
    std::vector<std::thread> ports;
    for (LedgerStation* station : {a.get(), b.get()}) {
        for (std::size_t port = 0; port < 4; ++port) {
            ports.emplace_back([&, station, port] {
                for (int k = 0; k < kEach; ++k) {
                    const std::uint64_t device = 1 + port * kEach + static_cast<std::uint64_t>(k);
                    const SerialReservation r = station->records->reserveSerial(port, "p", device);
                    const std::lock_guard<std::mutex> lock(mutex);
                    if (r.status == SerialReservation::Status::reserved) numbers.push_back(r.number);
                }
            });
        }
    }
    for (std::thread& t : ports) t.join();
    ASSERT_EQ(numbers.size(), 2U * 4 * kEach);
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end()), numbers.end())
        << "a number handed out twice";
    EXPECT_EQ(numbers.front(), 1000U);
    EXPECT_EQ(numbers.back(), 1000U + numbers.size() - 1) << "a gap among the numbers";
}

// A number follows its device's outcome: passed keeps it, failed and interrupted give it back (the
// next device takes it), and one whose outcome never comes (the station was killed) is never
// handed out again; the station started again under the same name says which device that was.
TEST(Ledger, ASerialNumberFollowsItsDevicesOutcome) {
    kelvotest::PgServer& server = testServer();
    const std::string db = server.freshDatabase();
    const kelvotest::TempDir dir;
    std::string error;
    auto station =
        LedgerStation::open(server.conninfo(db), "line-1", error, {7, 20}, 1, dir.path("log.jsonl"));
    ASSERT_NE(station, nullptr) << error;
    struct Case {
        const char* outcome;
        std::uint32_t number;  // the number the device gets
    };
    // 7 passes and keeps 7; 8 fails, 8 interrupted, 8 passes; then 9 is left unfinished.
    const Case cases[] = {{"passed", 7}, {"failed", 8}, {"interrupted", 8}, {"passed", 8}, {"unfinished", 9}};
    std::uint64_t device = 0;
    for (const Case& c : cases) {
        const SerialReservation r = station->records->reserveSerial(0, "/dev/ttyS0", ++device);
        ASSERT_EQ(r.status, SerialReservation::Status::reserved);
        EXPECT_EQ(r.number, c.number) << c.outcome;
        DeviceRow row = kelvotest::deviceRow("line-1", device, r.number);
        ASSERT_TRUE(station->records->recordStart(0, row));
        if (std::string(c.outcome) != "unfinished") {
            ASSERT_TRUE(station->records->recordEnd(0, kelvotest::ended(row, c.outcome)));
        }
    }
    station.reset();  // as if killed: device 5's outcome never comes

    station = LedgerStation::open(server.conninfo(db), "line-1", error, {7, 20}, 1, dir.path("log.jsonl"));
    ASSERT_NE(station, nullptr) << error;
    const kelvo::RecordsAtStart& start = station->records->atStart();
    EXPECT_EQ(start.lastDevice, 5U);
    ASSERT_EQ(start.unfinished.size(), 1U);
    EXPECT_EQ(start.unfinished[0].device, 5U);
    EXPECT_EQ(start.unfinished[0].serial, 9U);
    EXPECT_EQ(station->records->reserveSerial(0, "/dev/ttyS0", 6).number, 10U);
    EXPECT_EQ(
        server.query(db,
                     "SELECT string_agg(serial || ' ' || state, ', ' ORDER BY serial) FROM kelvo_serials "
                     "WHERE state <> 'free'"),
        "7 used, 8 used, 9 reserved, 10 reserved");
    EXPECT_EQ(server.query(db, "SELECT count(*) FROM kelvo_devices"), "6");
}

// The connection of a station that is claiming a number is killed in the middle of its
// transaction (here while it waits for a lock the test holds): nothing of the claim stays, the
// station says the ledger went away, reconnects by itself, and its next claim gets that number.
TEST(Ledger, AConnectionKilledInTheMiddleOfAClaimLeavesNoTrace) {
    kelvotest::PgServer& server = testServer();
    const std::string db = server.freshDatabase();
    std::string error;
    auto station = LedgerStation::open(server.conninfo(db), "line-1", error, {1, 100}, 1);
    ASSERT_NE(station, nullptr) << error;
    ASSERT_EQ(station->records->reserveSerial(0, "p", 1).number, 1U);

    kelvo::PgConnection holder;
    ASSERT_TRUE(holder.open(server.conninfo(db), kelvo::kLedgerLimits, "test", error)) << error;
    kelvo::PgResult result;
    ASSERT_EQ(holder.call("BEGIN; LOCK TABLE kelvo_serials IN EXCLUSIVE MODE", {}, result, 5000, error),
              kelvo::PgCall::done);
    SerialReservation claim;
    std::thread port([&] { claim = station->records->reserveSerial(0, "p", 2); });
    const std::string waiting =
        "SELECT pid FROM pg_stat_activity WHERE application_name = 'kelvo-station line-1' AND "
        "wait_event_type = "
        "'Lock'";
    EXPECT_TRUE(kelvotest::waitUntil([&] { return !server.query(db, waiting).empty(); }, 5000));
    EXPECT_EQ(server.query(db, "SELECT pg_terminate_backend(pid) FROM (" + waiting + ") w"), "t");
    ASSERT_EQ(holder.call("COMMIT", {}, result, 5000, error), kelvo::PgCall::done);
    port.join();
    EXPECT_EQ(claim.status, SerialReservation::Status::unreachable);
    EXPECT_TRUE(station->noted("The ledger cannot be reached"));
    EXPECT_EQ(server.query(db, "SELECT count(*) FROM kelvo_serials WHERE state <> 'free'"), "1");
    EXPECT_TRUE(kelvotest::waitUntil([&] { return station->records->reachable(); }, 5000));
    EXPECT_EQ(station->records->reserveSerial(0, "p", 2).number, 2U);
}

// The server goes away (stopped as a crash would) while devices are updated: their records land
// in the log and are kept; a port that needs a number waits; once the server is back the station
// reconnects by itself and sends what it kept, once.
TEST(Ledger, RecordsKeptWhileTheServerIsAwayAreSentOnceWhenItIsBack) {
    kelvotest::PgServer& server = testServer();
    const std::string db = server.freshDatabase();
    std::string error;
    auto station = LedgerStation::open(server.conninfo(db), "line-1", error, {1, 100}, 2);
    ASSERT_NE(station, nullptr) << error;
    const DeviceRow first =
        kelvotest::deviceRow("line-1", 1, station->records->reserveSerial(0, "p", 1).number);
    const DeviceRow second =
        kelvotest::deviceRow("line-1", 2, station->records->reserveSerial(1, "p", 2).number);
    ASSERT_TRUE(station->records->recordStart(0, first));
    ASSERT_TRUE(server.stop(true));
    ASSERT_TRUE(station->records->recordStart(1, second));
    ASSERT_TRUE(station->records->recordEnd(0, kelvotest::ended(first, "passed")));
    ASSERT_TRUE(station->records->recordEnd(1, kelvotest::ended(second, "failed")));
    EXPECT_FALSE(station->records->reachable());
    EXPECT_EQ(station->records->reserveSerial(0, "p", 3).status, SerialReservation::Status::unreachable);
    EXPECT_EQ(kelvotest::countOf(kelvotest::readFile(station->dir.path("log.jsonl")), "\"end\""), 2U);

    ASSERT_TRUE(server.start()) << server.problem();
    EXPECT_TRUE(kelvotest::waitUntil([&] { return station->records->reachable(); }, 10000));
    EXPECT_TRUE(station->noted("The ledger can be reached again: 2 kept records sent."));
    EXPECT_EQ(
        server.query(db,
                     "SELECT string_agg(device || ' ' || outcome || ' ' || serial, ', ' ORDER BY device) "
                     "FROM kelvo_devices"),
        "1 passed 1, 2 failed 2");
    // The failed device's number went back, and is the next one handed out.
    EXPECT_EQ(station->records->reserveSerial(0, "p", 3).number, 2U);
}

// A station that cannot use the ledger says why and does not start; no password is ever shown.
TEST(Ledger, AStartThatCannotUseTheLedgerSaysWhy) {
    kelvotest::PgServer& server = testServer();
    const std::string db = server.freshDatabase();
    const std::string socket = "host=" + server.socketFolder() + " port=" + std::to_string(server.port());
    const std::string password = kelvotest::PgServer::kPassword;
    struct Case {
        std::string ledger;
        std::string says;
    };
    const Case cases[] = {
        {"host=" + server.socketFolder() + "/none port=1 dbname=x connect_timeout=2",
         "No such file or directory"},
        {socket + " dbname=no_such_db user=kelvotest", "database \"no_such_db\" does not exist"},
        {socket + " dbname=" + db + " user=kelvo_pw password=wrong-" + password,
         "password authentication failed"},
        {"postgresql://kelvo_pw:" + password + "x@/" + db + "?host=" + server.socketFolder() +
             "&port=" + std::to_string(server.port()),
         "password authentication failed"},
        {"postgresql://kelvo_pw:" + password + "@/" + db + "?host=" + server.socketFolder() + "&bogus=1",
         "invalid URI query parameter"},
        {"host=x password=" + password + " dbname", "missing \"=\" after \"dbname\""},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(LedgerStation::open(c.ledger, "line-1", error), nullptr) << c.ledger;
        EXPECT_NE(error.find("The ledger cannot be used ("), std::string::npos) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(error.find(password), std::string::npos) << error;
    }
    // The right password gets in; a second station of the same name does not.
    std::string error;
    const std::string good = socket + " dbname=" + db + " user=kelvo_pw password=" + password;
    server.query(db, "GRANT ALL ON SCHEMA public TO kelvo_pw");
    auto first = LedgerStation::open(good, "line-1", error);
    ASSERT_NE(first, nullptr) << error;
    EXPECT_EQ(LedgerStation::open(good, "line-1", error), nullptr);
    EXPECT_NE(error.find("Another station named line-1 is connected to the ledger"), std::string::npos)
        << error;
}

// A station's PC that loses power leaves its connection open on the server, holding the station's
// name: the server probes it as the station does, so that the station can come back under its name
// in seconds. Over TCP (a local socket has no keepalives).
TEST(Ledger, TheServerProbesAStationsConnectionToo) {
    kelvotest::PgServer server(true);
    ASSERT_EQ(server.problem(), "");
    const std::string db = server.freshDatabase();
    kelvo::PgConnection connection;
    std::string error;
    ASSERT_TRUE(connection.open(server.tcpConninfo(db), kelvo::kLedgerLimits, "test", error)) << error;
    const kelvo::LedgerLimits& limits = kelvo::kLedgerLimits;
    const std::pair<const char*, std::uint32_t> settings[] = {
        {"tcp_keepalives_idle", limits.keepaliveIdleS},
        {"tcp_keepalives_interval", limits.keepaliveIntervalS},
        {"tcp_keepalives_count", limits.keepaliveCount},
        {"tcp_user_timeout",
         1000 * (limits.keepaliveIdleS + limits.keepaliveIntervalS * limits.keepaliveCount)},
    };
    for (const auto& [name, value] : settings) {
        kelvo::PgResult result;
        ASSERT_EQ(connection.call("SELECT setting FROM pg_settings WHERE name = $1", {name}, result,
                                  limits.callMs, error),
                  kelvo::PgCall::done)
            << error;
        EXPECT_EQ(result.text(0, 0), std::to_string(value)) << name;
    }
}

// What a station's log holds and the ledger does not (the station stopped while the ledger was
// away) goes to the ledger when the station next starts with that log, once.
TEST(Ledger, TheLogsRecordsReachTheLedgerAtTheNextStart) {
    kelvotest::PgServer& server = testServer();
    const std::string db = server.freshDatabase();
    const kelvotest::TempDir dir;
    const std::string log = dir.path("log.jsonl");
    {
        kelvo::RecordsConfig config;
        config.logPath = log;
        config.station = "line-1";
        config.serials = kelvo::SerialRange{50, 60};
        std::string error;
        auto alone = kelvo::openLogRecords(config, error);
        ASSERT_NE(alone, nullptr) << error;
        const DeviceRow a = kelvotest::deviceRow("line-1", 1, 50);
        const DeviceRow b = kelvotest::deviceRow("line-1", 2, 51);
        ASSERT_TRUE(alone->recordStart(0, a) && alone->recordEnd(0, kelvotest::ended(a, "passed")));
        ASSERT_TRUE(alone->recordStart(0, b));
    }
    for (int start = 0; start < 2; ++start) {
        std::string error;
        auto station = LedgerStation::open(server.conninfo(db), "line-1", error, {50, 60}, 1, log);
        ASSERT_NE(station, nullptr) << error;
        EXPECT_EQ(station->records->atStart().lastDevice, 2U);
        ASSERT_EQ(station->records->atStart().unfinished.size(), 1U);
        const std::vector<std::string>& notes = station->records->atStart().notes;
        EXPECT_EQ(std::count(notes.begin(), notes.end(),
                             "2 records of the log that the ledger did not have were sent to it."),
                  start == 0 ? 1 : 0);
    }
    EXPECT_EQ(
        server.query(db,
                     "SELECT string_agg(serial || ' ' || state, ', ' ORDER BY serial) FROM kelvo_serials "
                     "WHERE state <> 'free'"),
        "50 used, 51 reserved");
}

// Two stations on one ledger, each with its own log: the report of a station's log and the
// ledger's report of that station are the same, as a summary and as CSV, whole or filtered.
TEST(Ledger, ALogAndTheLedgerGiveTheSameReport) {
    kelvotest::PgServer& server = testServer();
    const std::string db = server.freshDatabase();
    std::string error;
    std::vector<std::unique_ptr<LedgerStation>> stations;
    std::string middle;  // a time between the first station's devices
    for (const char* name : {"line-1", "line-2"}) {
        stations.push_back(LedgerStation::open(server.conninfo(db), name, error, {100, 199}, 2));
        ASSERT_NE(stations.back(), nullptr) << error;
        kelvo::DeviceRecords& records = *stations.back()->records;
        const char* outcomes[] = {"passed", "failed", "passed", "interrupted", "passed", "unfinished"};
        for (std::uint64_t device = 1; device <= std::size(outcomes); ++device) {
            const SerialReservation r = records.reserveSerial(device % 2, "p", device);
            DeviceRow row = kelvotest::deviceRow(name, device, r.number);
            row.port = device % 2 == 0 ? "/dev/ttyUSB0" : "/dev/ttyUSB1";
            ASSERT_TRUE(records.recordStart(device % 2, row));
            if (device == 3 && middle.empty()) middle = row.start;
            const std::string outcome = outcomes[device - 1];
            if (outcome != "unfinished") {
                ASSERT_TRUE(records.recordEnd(device % 2, kelvotest::ended(row, outcome)));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    const auto report = [&](kelvo::ReportOptions options) {
        options.limits = kelvotest::kShortLedgerLimits;
        kelvotest::CapturedFile out;
        kelvotest::CapturedFile problems;
        EXPECT_EQ(kelvo::runReport(options, out.file(), problems.file()), 0) << problems.text();
        return out.text();
    };
    for (std::size_t i = 0; i < stations.size(); ++i) {
        const std::string name = "line-" + std::to_string(i + 1);
        for (const bool csv : {false, true}) {
            for (const std::string& since : {std::string(), middle}) {
                kelvo::ReportOptions fromLog;
                fromLog.logPath = stations[i]->dir.path("log.jsonl");
                kelvo::ReportOptions fromLedger;
                fromLedger.ledger = server.conninfo(db);
                fromLedger.station = name;
                for (kelvo::ReportOptions* options : {&fromLog, &fromLedger}) {
                    options->since = since;
                    options->csv = csv;
                }
                const std::string text = report(fromLog);
                EXPECT_EQ(text, report(fromLedger)) << name << (csv ? " as CSV" : "") << " since " << since;
                EXPECT_NE(text.find(csv ? name + ",/dev/ttyUSB" : "Devices: "), std::string::npos) << text;
            }
        }
    }
    kelvo::ReportOptions wholeLedger;
    wholeLedger.ledger = server.conninfo(db);
    const std::string all = report(wholeLedger);
    EXPECT_NE(all.find("Devices: 12 (6 passed, 2 failed, 2 interrupted, 2 unfinished); yield 75.0%"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("Serial numbers used: 100-102, 104-106\n"), std::string::npos) << all;
}

}  // namespace
