// Real kelvo-station processes on one ledger (the tests' own PostgreSQL server) against kelvo-sim
// fixtures: numbers shared by several stations, a station killed in the middle of an update, the
// server stopped during updates, a start that cannot go on, and the report from a log and from the
// ledger. Under Wine (KELVO_WINDOWS_STATION) the stations reach the server over TCP on 127.0.0.1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/ledger_support.h"
#include "tests/pg_server.h"
#include "tests/station_support.h"
#include "tests/test_support.h"

namespace {

using kelvotest::Fixture;
using kelvotest::fixtureOptions;
using kelvotest::PgServer;
using kelvotest::ProcessResult;
using kelvotest::stationCommand;
using kelvotest::stationIsWindows;
using kelvotest::TempDir;
using kelvotest::testServer;

// The ledger as the station under test reaches it: over TCP for the Windows build under Wine.
std::string ledgerOf(const std::string& db) {
    return stationIsWindows() ? testServer().tcpConninfo(db) : testServer().conninfo(db);
}

// A station running on its own while the test goes on; what it prints lands in a file.
class RunningStation {
public:
    RunningStation(const TempDir& dir, const std::string& name, const std::vector<std::string>& args)
        : out_(dir.path(name + ".out")) {
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            kelvotest::execOrExit(stationCommand(args));
        }
    }
    ~RunningStation() { kill(SIGKILL); }
    // Waits for its end: its exit status, or -1 when it had to be killed after `seconds`.
    int finish(int seconds = 120) {
        for (int waited = 0; pid_ > 0 && waited < seconds * 50; ++waited) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(20000);
        }
        kill(SIGKILL);
        return -1;
    }
    void kill(int signal) {
        if (pid_ <= 0) return;
        ::kill(pid_, signal);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    std::string output() const { return kelvotest::readFile(out_); }

private:
    std::string out_;
    pid_t pid_ = -1;
};

std::vector<std::string> stationArgs(const std::string& ledger, const std::string& name,
                                     const std::string& log, const std::vector<const Fixture*>& fixtures,
                                     std::vector<std::string> more) {
    std::vector<std::string> args = {"--ledger", ledger,     "--station",   name,          "--log",
                                     log,        "--serial", "65530-65999", "--serial-at", "0x1C40"};
    for (const Fixture* f : fixtures) args.insert(args.end(), {"-i", f->port->name()});
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

std::vector<std::uint32_t> numbers(const std::string& text) {
    std::vector<std::uint32_t> all;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find(',', at), text.size());
        if (end > at) all.push_back(static_cast<std::uint32_t>(std::stoul(text.substr(at, end - at))));
        at = end + 1;
    }
    return all;
}

// Three stations of two ports each at once on one range of numbers: every device that passes
// gets a number no other device has, the numbers of good devices run without a gap (a failed
// device's number went to a later one), and each device holds its own number.
TEST(StationsOnALedger, ShareOneRangeOfNumbersWithoutAGap) {
    PgServer& server = testServer();
    ASSERT_EQ(server.problem(), "");
    const std::string db = server.freshDatabase();
    TempDir dir;
    const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
    std::vector<std::unique_ptr<Fixture>> fixtures;
    std::vector<std::unique_ptr<RunningStation>> stations;
    for (int s = 0; s < 3; ++s) {
        const std::string name = "line-" + std::to_string(s + 1);
        fixtures.push_back(std::make_unique<Fixture>(dir, name + "a", fixtureOptions({"--devices", "2"})));
        fixtures.push_back(std::make_unique<Fixture>(
            dir, name + "b", fixtureOptions({"--devices", "2", "--on-device", "1", "--refuse-all"})));
        const std::vector<const Fixture*> mine = {fixtures[fixtures.size() - 2].get(), fixtures.back().get()};
        stations.push_back(std::make_unique<RunningStation>(
            dir, name,
            stationArgs(ledgerOf(db), name, dir.path(name + ".jsonl"), mine, {"--count", "3", image})));
    }
    for (auto& s : stations) EXPECT_EQ(s->finish(), 1) << s->output();  // a device failed on each
    for (auto& f : fixtures) f->sim->finish(15000);

    EXPECT_EQ(
        server.query(db,
                     "SELECT count(*) || ' ' || count(DISTINCT serial) FROM kelvo_devices WHERE outcome "
                     "= 'passed'"),
        "9 9");
    const std::vector<std::uint32_t> passed = numbers(server.query(
        db,
        "SELECT string_agg(serial::text, ',' ORDER BY serial) FROM kelvo_devices WHERE outcome = 'passed'"));
    ASSERT_EQ(passed.size(), 9U);
    EXPECT_EQ(passed.front(), 65530U);
    EXPECT_EQ(passed.back(), 65538U) << "a gap among the numbers of good devices";
    EXPECT_EQ(server.query(db, "SELECT count(*) FROM kelvo_devices WHERE outcome = 'failed'"), "3");
    EXPECT_EQ(server.query(db, "SELECT count(*) FROM kelvo_serials WHERE state = 'reserved'"), "0");
    // Each device that passed holds its own number (a port's devices in the order they started).
    for (const auto& f : fixtures) {
        for (int device = 1; device <= 2; ++device) {
            const std::string serial = server.query(
                db,
                "SELECT CASE WHEN outcome = 'passed' THEN serial::text ELSE '' END FROM kelvo_devices WHERE "
                "port = '" +
                    f->port->name() + "' ORDER BY started_at OFFSET " + std::to_string(device - 1) +
                    " LIMIT 1");
            if (!serial.empty()) kelvotest::expectImageWithSerial(f->dump(device), image, std::stoul(serial));
        }
    }
}

// A station killed with kill -9 in the middle of an update: the others carry on and never get its
// number; started again under its name it says which device has no outcome, and the report lists
// it.
TEST(StationsOnALedger, AKilledStationsNumberIsNeverHandedOutAgain) {
    if (stationIsWindows()) GTEST_SKIP() << "kill -9 of a Windows program under Wine is not a power cut";
    PgServer& server = testServer();
    const std::string db = server.freshDatabase();
    TempDir dir;
    const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
    Fixture slow(dir, "slow", fixtureOptions({"--devices", "1", "--row-ms", "5000"}));
    Fixture other(dir, "other", fixtureOptions({"--devices", "2"}));
    RunningStation killed(dir, "killed",
                          stationArgs(ledgerOf(db), "line-k", dir.path("k.jsonl"), {&slow}, {image}));
    ASSERT_TRUE(kelvotest::waitUntil(
        [&] { return kelvotest::readFile(dir.path("k.jsonl")).find("\"start\"") != std::string::npos; },
        20000));
    RunningStation going(
        dir, "going",
        stationArgs(ledgerOf(db), "line-g", dir.path("g.jsonl"), {&other}, {"--count", "2", image}));
    usleep(300000);
    killed.kill(SIGKILL);
    slow.sim->finish(0);
    EXPECT_EQ(going.finish(), 0) << going.output();
    EXPECT_EQ(server.query(db,
                           "SELECT string_agg(station || ' ' || serial || ' ' || outcome, ', ' ORDER BY "
                           "serial) FROM kelvo_devices"),
              "line-k 65530 unfinished, line-g 65531 passed, line-g 65532 passed");

    Fixture again(dir, "again", fixtureOptions({"--devices", "1"}));
    const ProcessResult r = kelvotest::station(
        stationArgs(ledgerOf(db), "line-k", dir.path("k.jsonl"), {&again}, {"--once", image}));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Device 1 on " + slow.port->name()), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("serial number 65530) has no recorded outcome"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("device 2 found, serial number 65533"), std::string::npos) << r.output;
    const ProcessResult report = kelvotest::station({"report", "--ledger", ledgerOf(db)});
    EXPECT_NE(report.output.find("line-k device 1 on " + slow.port->name()), std::string::npos)
        << report.output;
    EXPECT_NE(report.output.find("Serial numbers used: 65531-65533"), std::string::npos) << report.output;
}

// The server stopped as a crash would in the middle of updates, and started again: the station
// goes on, a port that needs a number says the ledger cannot be reached and waits, and in the end
// the ledger holds every device of the log once, so that the report of the log and of the ledger
// are the same.
TEST(StationsOnALedger, TheServerStoppedDuringUpdatesLosesNothing) {
    PgServer& server = testServer();
    const std::string db = server.freshDatabase();
    TempDir dir;
    const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string log = dir.path("log.jsonl");
    Fixture a(dir, "a", fixtureOptions({"--devices", "3", "--row-ms", "700"}));
    Fixture b(dir, "b",
              fixtureOptions({"--devices", "3", "--row-ms", "700", "--on-device", "2", "--refuse-all"}));
    RunningStation station(dir, "station",
                           stationArgs(ledgerOf(db), "line-1", log, {&a, &b}, {"--count", "5", image}));
    ASSERT_TRUE(kelvotest::waitUntil(
        [&] { return kelvotest::countOf(kelvotest::readFile(log), "\"start\"") >= 2; }, 20000));
    ASSERT_TRUE(server.stop(true));
    ASSERT_TRUE(kelvotest::waitUntil(
        [&] { return station.output().find("the ledger cannot be reached") != std::string::npos; }, 20000))
        << station.output();
    ASSERT_TRUE(server.start()) << server.problem();
    EXPECT_EQ(station.finish(), 1) << station.output();  // a device failed
    const std::string out = station.output();
    EXPECT_NE(out.find("The ledger can be reached again"), std::string::npos) << out;
    EXPECT_NE(out.find("Devices: 5 passed, 1 failed"), std::string::npos) << out;

    EXPECT_EQ(server.query(db, "SELECT count(*) || ' ' || count(DISTINCT device) FROM kelvo_devices"), "6 6");
    EXPECT_EQ(server.query(db, "SELECT count(*) FROM kelvo_devices WHERE outcome = 'unfinished'"), "0");
    EXPECT_EQ(server.query(db, "SELECT count(*) FROM kelvo_serials WHERE state = 'reserved'"), "0");
    for (const char* format : {"", "--csv"}) {
        std::vector<std::string> fromLog = {"report", "--log", log};
        std::vector<std::string> fromLedger = {"report", "--ledger", ledgerOf(db), "--station", "line-1"};
        if (*format != '\0') {
            fromLog.push_back(format);
            fromLedger.push_back(format);
        }
        const ProcessResult logReport = kelvotest::station(fromLog);
        EXPECT_EQ(logReport.status, 0) << logReport.output << logReport.errors;
        EXPECT_EQ(logReport.output, kelvotest::station(fromLedger).output);
    }
    a.sim->finish(15000);
    b.sim->finish(15000);
}

// A station that cannot go on says so and ends with status 1 before it opens any port: the ledger
// cannot be reached, has no such database or refuses the login, another station of the same name
// is connected, or another station holds the log.
TEST(StationsOnALedger, AStartThatCannotGoOnTouchesNoPort) {
    PgServer& server = testServer();
    const std::string db = server.freshDatabase();
    TempDir dir;
    const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string rxLog = dir.path("rx.bin");
    kelvotest::SimProcess sim({"--rx-log", rxLog});
    kelvotest::HostPort port(sim.port());
    Fixture busy(dir, "busy", fixtureOptions({"--devices", "1", "--silent"}));
    const std::string held = dir.path("held.jsonl");
    RunningStation holder(
        dir, "holder",
        {"--ledger", ledgerOf(db), "--station", "line-1", "--log", held, "-i", busy.port->name(), image});
    ASSERT_TRUE(kelvotest::waitUntil(
        [&] { return holder.output().find("waiting for a device") != std::string::npos; }, 20000))
        << holder.output();
    const std::string tcp = "host=127.0.0.1 port=" + std::to_string(server.port());
    const std::string unreachable = stationIsWindows() ? "host=127.0.0.1 port=1 dbname=x connect_timeout=2"
                                                       : "host=" + dir.path("none") + " dbname=x";
    const std::string wrongLogin =
        (stationIsWindows() ? tcp
                            : "host=" + server.socketFolder() + " port=" + std::to_string(server.port())) +
        " dbname=" + db + " user=kelvo_pw password=not-" + PgServer::kPassword;
    struct Case {
        std::string ledger, station, log, says;
    };
    const Case cases[] = {
        {unreachable, "line-2", dir.path("a.jsonl"), "The ledger cannot be used ("},
        {ledgerOf("no_such_db"), "line-2", dir.path("b.jsonl"), "database \"no_such_db\" does not exist"},
        {wrongLogin, "line-2", dir.path("c.jsonl"), "password authentication failed"},
        {ledgerOf(db), "line-1", dir.path("d.jsonl"),
         "Another station named line-1 is connected to the ledger"},
        {ledgerOf(db), "line-2", held, "The log " + held + " is in use by another station"},
    };
    for (const Case& c : cases) {
        const ProcessResult r = kelvotest::station(
            {"--ledger", c.ledger, "--station", c.station, "--log", c.log, "-i", port.name(), image}, 60);
        EXPECT_EQ(r.status, 1) << c.says << ": " << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find(PgServer::kPassword), std::string::npos) << r.output;
    }
    holder.kill(SIGTERM);
    sim.finish(200);
    EXPECT_EQ(kelvotest::readFile(rxLog), "") << "a port was touched";
}

}  // namespace
