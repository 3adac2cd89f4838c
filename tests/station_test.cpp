// The real kelvo-station against kelvo-sim fixtures, each presenting device after device on a pty
// of its own, several at once. Under Wine (KELVO_WINDOWS_STATION names the Windows build) the main
// scenario runs with COM ports mapped to the fixtures' ports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/time_limits.h"
#include "tests/net_support.h"
#include "tests/station_support.h"
#include "tests/test_support.h"

namespace {

using kelvotest::expectImageWithSerial;
using kelvotest::Fixture;
using kelvotest::fixtureOptions;
using kelvotest::HostPort;
using kelvotest::ProcessResult;
using kelvotest::records;
using kelvotest::SimProcess;
using kelvotest::station;
using kelvotest::stationCommand;
using kelvotest::stationIsWindows;
using kelvotest::TempDir;
using nlohmann::json;

// Three ports, two devices each, at once: one device pulled out in the middle of a row (its port
// comes back with the next device), one that refuses every row; both first on their ports, so
// that every device has started before the fourth passes and the count ends the station. The station updates
// device after device, gives every device that passes the next serial number, gives a failed device's number
// back, never takes a device still in its bootloader's window after the reset for a new one, and
// records every device.
TEST(Station, ManyPortsDeviceAfterDeviceWithSerialNumbers) {
    TempDir dir;
    const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string log = dir.path("log.jsonl");
    std::vector<std::unique_ptr<Fixture>> fixtures;
    fixtures.push_back(std::make_unique<Fixture>(dir, "a", fixtureOptions({"--devices", "2"})));
    fixtures.push_back(std::make_unique<Fixture>(
        dir, "b", fixtureOptions({"--devices", "2", "--on-device", "1", "--hangup-after", "1"})));
    fixtures.push_back(std::make_unique<Fixture>(
        dir, "c", fixtureOptions({"--devices", "2", "--on-device", "1", "--refuse-all"})));
    std::vector<std::string> args;
    for (const auto& f : fixtures) args.insert(args.end(), {"-i", f->port->name()});
    args.insert(args.end(),
                {"--count", "4", "--serial", "65534-65999", "--serial-at", "0x1C40", "--log", log, image});
    const ProcessResult r = station(args);
    EXPECT_EQ(r.status, 1) << r.output << r.errors;  // a device failed
    EXPECT_NE(r.output.find("Devices: 4 passed, 2 failed"), std::string::npos) << r.output;
    for (const auto& f : fixtures) EXPECT_EQ(f->sim->finish(15000), 0) << f->link;

    // Every device a start and an end record, with the same device number.
    std::map<std::uint64_t, json> starts;
    std::map<std::uint64_t, json> ends;
    std::map<std::string, std::vector<std::uint64_t>> devicesOfPort;
    for (const json& record : records(log)) {
        ASSERT_TRUE(record.is_object());
        const std::uint64_t device = record["device"];
        if (record["event"] == "start") {
            EXPECT_EQ(starts.count(device), 0U);
            starts[device] = record;
            devicesOfPort[record["port"]].push_back(device);
            EXPECT_EQ(record["chip"], "dsPIC30F2010");
            EXPECT_EQ(record["family"], "dsPIC30F");
            EXPECT_EQ(record["image"], "fw.hex");
            EXPECT_EQ(record["image_sha256"].get<std::string>().size(), 64U);
        } else {
            EXPECT_EQ(starts.count(device), 1U) << "an end before its start";
            ends[device] = record;
        }
    }
    EXPECT_EQ(starts.size(), 6U);
    EXPECT_EQ(ends.size(), 6U);
    std::set<std::uint32_t> passedSerials;
    for (const auto& [device, end] : ends) {
        EXPECT_EQ(end["serial"], starts[device]["serial"]);
        if (end["outcome"] == "passed") {
            EXPECT_TRUE(passedSerials.insert(end["serial"].get<std::uint32_t>()).second)
                << "a serial used twice";
            EXPECT_EQ(end["rows_verified"], 2);
        } else {
            EXPECT_EQ(end["outcome"], "failed");
            EXPECT_EQ(end["phase"], "write");
            EXPECT_FALSE(end["message"].get<std::string>().empty());
        }
    }
    // Consecutive: the failed devices' numbers went back to the range.
    EXPECT_EQ(passedSerials, (std::set<std::uint32_t>{65534, 65535, 65536, 65537}));

    // Each device was updated once (never again in its bootloader's window after the reset), and
    // each one that passed holds the image with its own serial number.
    for (const auto& f : fixtures) {
        const std::vector<std::uint64_t>& devices = devicesOfPort[f->port->name()];
        ASSERT_EQ(devices.size(), 2U) << f->link;
        for (int k = 1; k <= 2; ++k) {
            const Fixture::DeviceStats stats = f->stats(k);
            EXPECT_EQ(stats.identifications, 1) << f->link << " device " << k << " was taken twice";
            const json& end = ends[devices[static_cast<std::size_t>(k - 1)]];
            if (end["outcome"] == "passed") {
                EXPECT_EQ(stats.resets, 1) << f->link << " device " << k;
                expectImageWithSerial(f->dump(k), image, end["serial"]);
            }
        }
    }
    EXPECT_NE(ends[devicesOfPort[fixtures[1]->port->name()][0]]["message"].get<std::string>().find(
                  "Lost connection to serial port " + fixtures[1]->port->name()),
              std::string::npos);
    EXPECT_NE(ends[devicesOfPort[fixtures[2]->port->name()][0]]["message"].get<std::string>().find(
                  "did not accept block # 112"),
              std::string::npos);
}

// A station that cannot start says why and touches no port: a command line it cannot use (status
// 2, with the usage), a file that is not the one approved or is damaged, a log it cannot write.
TEST(Station, RefusesToStartWithoutTouchingAPort) {
    if (stationIsWindows()) GTEST_SKIP() << "the main scenario is the one run under Wine";
    TempDir dir;
    const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string bad = dir.write("bad.hex", ":10000000\n");
    const std::string rxLog = dir.path("rx.bin");
    SimProcess sim({"--rx-log", rxLog});
    const std::string port = sim.port();
    const std::string usage = "Usage: kelvo-station";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {{image}, 2, "--interface is required"},
        {{"-i", port}, 2, "file is required"},
        {{"-i", port, "-i", port, image}, 2, "named twice"},
        {{"-i", port, "--count", "0", image}, 2, "--count takes a number of devices, 1 or more"},
        {{"-i", port, "--log", "a.jsonl", "--log", "b.jsonl", image}, 2, "--log is given more than once"},
        {{"-i", port, "--image-sha256", "", image}, 2, "64 hexadecimal digits"},
        {{"-i", port, "--image-sha256", std::string(63, 'a') + "g", image}, 2, "64 hexadecimal digits"},
        {{"-i", port, "--serial-at", "0x1C40", image}, 2, "--serial and --serial-at go together"},
        {{"-i", port, "--serial", "1-4294967296", "--serial-at", "0x1C40", image}, 2, "fit in 32 bits"},
        {{"-i", port, "--serial", "1-9", "--serial-at", "18446744073709551614", image},
         2,
         "outside the program rows of every chip family"},
        {{"-i", port, "--serial", "1-9", image}, 2, "--serial and --serial-at go together"},
        {{"-i", port, "--serial", "9-1", "--serial-at", "0x1C40", image}, 2, "FIRST must not exceed LAST"},
        {{"-i", port, "--serial", "1-9", "--serial-at", "0x1C41", image}, 2, "0x1C41 is odd"},
        {{"-i", port, "--serial", "1-9", "--serial-at", "0x1BFE", image}, 2, "below word address 0x1C00"},
        {{"-i", port, "--serial", "1-9", "--serial-at", "2097150", image},
         2,
         "outside the program rows of every chip family"},
        {{"-i", port, "--image-sha256", std::string(64, '0'), image}, 1, "not the image approved"},
        {{"-i", port, bad}, 1, "\nBad Hex file: line 1: record length mismatch\n"},
        {{"-i", port, "--log", dir.path("no-such-folder/log.jsonl"), image}, 1, "cannot be written"},
        {{"-i", port, "--log", dir.path(""), image}, 1, "is not a regular file"},
        {{"-i", port, "--log", "/dev/zero", image}, 1, "is not a regular file"},
    };
    for (const Case& c : cases) {
        const ProcessResult r = station(c.args, 30);
        EXPECT_EQ(r.status, c.status) << c.args.back() << ": " << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find(usage) != std::string::npos, c.status == 2) << r.output;
    }
    // Accepted: the station starts, and under --once a port that never opens ends it with status 1.
    const std::string digest = kelvotest::runProcess({"/usr/bin/sha256sum", image}).output.substr(0, 64);
    std::string upper = digest;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::vector<std::vector<std::string>> accepted = {
        {"--image-sha256", digest},
        {"--image-sha256", upper},
        {"--serial", "1-4294967295", "--serial-at", "0x1C00"},
        {"--serial", "7-7", "--serial-at", "0x1FFFFC"},
    };
    for (std::vector<std::string> args : accepted) {
        args.insert(args.end(),
                    {"-i", dir.path("no-such-port"), "--once", "--log", dir.path("log.jsonl"), image});
        const ProcessResult r = station(args, 30);
        EXPECT_EQ(r.status, 1) << args[1] << ": " << r.output;
        EXPECT_NE(r.output.find("cannot be opened: no such port"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find(usage), std::string::npos) << r.output;
    }
    sim.finish(200);
    EXPECT_EQ(kelvotest::readFile(rxLog), "");
}

// Killed in the middle of an update (kill -9, a power cut): the log holds the device's start and
// no end, and a record cut short. The next start says so, never hands that device's serial number
// out again, and writes its records on lines of their own.
TEST(Station, AStartWithoutAnEndIsReportedAndItsSerialNeverReused) {
    if (stationIsWindows()) GTEST_SKIP() << "the main scenario is the one run under Wine";
    TempDir dir;
    const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string log = dir.path("log.jsonl");
    const std::vector<std::string> serials = {"--serial", "1000-1999", "--serial-at", "0x1C40", "--log", log};
    {
        Fixture slow(dir, "slow", fixtureOptions({"--devices", "1", "--row-ms", "5000"}));
        std::vector<std::string> args = {"-i", slow.link};
        args.insert(args.end(), serials.begin(), serials.end());
        args.push_back(image);
        const pid_t pid = fork();
        if (pid == 0) {
            freopen("/dev/null", "w", stdout);
            kelvotest::execOrExit(stationCommand(args));
        }
        for (int i = 0; i < 500 && kelvotest::readFile(log).find("\"start\"") == std::string::npos; ++i)
            usleep(10000);
        usleep(300000);  // a row is being written
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        slow.sim->finish(0);
    }
    std::vector<json> before = records(log);
    ASSERT_EQ(before.size(), 1U);
    EXPECT_EQ(before[0]["event"], "start");
    EXPECT_EQ(before[0]["serial"], 1000);
    // A record the kill cut short: said at the next start, and the next record starts on a new line.
    std::ofstream(log, std::ios::app) << R"({"event":"end","device":1,"outc)";

    Fixture next(dir, "next", fixtureOptions({"--devices", "1"}));
    std::vector<std::string> args = {"-i", next.link, "--once"};
    args.insert(args.end(), serials.begin(), serials.end());
    args.push_back(image);
    const ProcessResult r = station(args);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Device 1 on " + dir.path("slow")), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("serial number 1000) has no recorded outcome"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("The log's line 2 is not a record (a write cut short?): skipped."),
              std::string::npos)
        << r.output;
    const std::vector<json> after = records(log);
    ASSERT_EQ(after.size(), 4U);
    EXPECT_TRUE(after[1].is_discarded());
    EXPECT_EQ(after[2]["device"], 2);  // device numbers go on from the log
    EXPECT_EQ(after[2]["serial"], 1001);
    EXPECT_EQ(after[3]["outcome"], "passed");
    next.sim->finish(10000);
    expectImageWithSerial(next.dump(1), image, 1001);
}

// Ctrl-C (or any signal that ends a run) stops every port: the update in progress, the second on
// its port, is recorded as interrupted, the ports are closed and restored, a summary is printed,
// and the status is 130.
TEST(Station, ASignalStopsEveryPortCleanly) {
    if (stationIsWindows()) GTEST_SKIP() << "a signal to wine is not a console event";
    TempDir dir;
    const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string log = dir.path("log.jsonl");
    Fixture slow(dir, "slow", fixtureOptions({"--devices", "2", "--on-device", "2", "--row-ms", "5000"}));
    Fixture idle(dir, "idle", fixtureOptions({"--devices", "1", "--silent"}));  // never answers
    const int watcher = open(slow.link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(watcher, 0);
    kelvotest::TerminalRun run(stationCommand({"-i", slow.link, "-i", idle.link, "--log", log, image}));
    for (int i = 0; i < 1500 && kelvotest::countOf(kelvotest::readFile(log), "\"start\"") < 2; ++i)
        usleep(10000);
    usleep(300000);  // a row is being written
    const std::uint32_t start = kelvo::tickCount();
    run.signal(SIGINT);
    const int status = run.finish(5000);
    EXPECT_LT(kelvo::elapsedSince(start), 1000U) << "a port did not stop at once";
    ASSERT_TRUE(WIFEXITED(status)) << run.text();
    EXPECT_EQ(WEXITSTATUS(status), 130) << run.text();
    EXPECT_NE(run.text().find("Interrupted. Devices: 1 passed, 0 failed, 1 interrupted, yield 100.0%"),
              std::string::npos)
        << run.text();
    const std::vector<json> all = records(log);
    ASSERT_EQ(all.size(), 4U);
    EXPECT_EQ(all[1]["outcome"], "passed");
    EXPECT_EQ(all[3]["outcome"], "interrupted");
    EXPECT_EQ(all[3]["phase"], "write");
    termios t{};
    ASSERT_EQ(tcgetattr(watcher, &t), 0);
    EXPECT_EQ(t.c_iflag & INPCK, 0U) << "the port's settings were not restored";
    int exclusive = 1;
    ASSERT_EQ(ioctl(watcher, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the port was not released";
    close(watcher);
}

// On a terminal the operator sees a table, redrawn in place: a line per port and the totals, fitted
// to the terminal's width (no line wraps), and drawn anew after the terminal is resized.
TEST(Station, TheLiveTableOnATerminal) {
    if (stationIsWindows()) GTEST_SKIP() << "the main scenario is the one run under Wine";
    if (std::system("command -v tmux >/dev/null") != 0) GTEST_SKIP() << "no tmux";
    struct Case {
        int columns;
        int resizedTo;  // 0: not resized
    };
    for (const Case c : {Case{190, 0}, Case{80, 0}, Case{120, 0}, Case{120, 80}}) {
        const std::string name = std::to_string(c.columns) + " columns" +
                                 (c.resizedTo > 0 ? ", then " + std::to_string(c.resizedTo) : "");
        TempDir dir;
        const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
        Fixture fixture(dir, "table", fixtureOptions({"--devices", "1", "--row-ms", "400"}));
        const std::string session = "kelvo-station-" + std::to_string(getpid());
        const std::string command = std::string(KELVO_STATION_BINARY) + " -i " + fixture.link +
                                    " --once --log " + dir.path("log.jsonl") + " " + image + "; sleep 60";
        const auto tmux = [&](std::vector<std::string> args) {
            args.insert(args.begin(), {"/usr/bin/tmux", "-L", session});
            return kelvotest::runProcess(args).output;
        };
        tmux({"new-session", "-d", "-x", std::to_string(c.columns), "-y", "20", "env", "TERM=xterm", "sh",
              "-c", command});
        std::string screen;
        int redrawsSeen = 0;  // progress bars seen, the first before any resize
        for (int i = 0; i < 150 && screen.find("Devices: 1 passed") == std::string::npos; ++i) {
            usleep(100000);
            screen = tmux({"capture-pane", "-p"});
            if (screen.find("%") != std::string::npos && screen.find("writing") != std::string::npos &&
                ++redrawsSeen == 1 && c.resizedTo > 0) {
                tmux({"resize-window", "-x", std::to_string(c.resizedTo)});
            }
        }
        // Everything the terminal holds, its scroll-back included, with wrapped lines joined.
        const std::string all = tmux({"capture-pane", "-p", "-J", "-S", "-"});
        tmux({"kill-server"});
        const std::size_t width = static_cast<std::size_t>(c.resizedTo > 0 ? c.resizedTo : c.columns);
        EXPECT_GT(redrawsSeen, 1) << name << ":\n" << screen;
        EXPECT_EQ(kelvotest::countOf(screen, "PORT"), 1U) << name << ": not redrawn in place:\n" << screen;
        // A resize draws the screen anew once; the redraws that follow stay in place.
        EXPECT_LE(kelvotest::countOf(all, "PORT"), c.resizedTo > 0 ? 2U : 1U) << name << ":\n" << all;
        // The table's lines (the station's notes above it may wrap: they are not redrawn).
        std::istringstream lines(screen.substr(std::min(screen.find("PORT"), screen.size())));
        for (std::string line; std::getline(lines, line);) {
            EXPECT_LT(line.size(), width) << name << ": a line as wide as the terminal: " << line;
        }
        if (c.columns > 150) {
            EXPECT_NE(screen.find(fixture.link), std::string::npos) << screen;
        }
        EXPECT_NE(screen.find("Total: 1 passed, 0 failed, yield 100.0%"), std::string::npos)
            << name << screen;
        EXPECT_EQ(screen.find("\x1b"), std::string::npos);  // the terminal took the escape codes
        fixture.sim->finish(10000);
    }
}

}  // namespace

namespace {

// Two ports of device servers on the network (ser2net in front of fixtures, one with the COM port
// control, one raw) and one local port, two devices each. The first network port's server is
// switched off in the middle of its first device and comes back: the port reconnects by itself
// and updates that device again. A fourth port that nothing serves is tried all along. The records
// name each port as it was given. A fifth port's device server has no serial device: it takes
// each connection and closes it at once, which the station says once, not at every try.
TEST(Station, ManyPortsOverTheNetworkAndOneLocal) {
    TempDir dir;
    const std::string image = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string log = dir.path("log.jsonl");
    Fixture a(dir, "a", fixtureOptions({"--devices", "2", "--on-device", "1", "--row-ms", "800"}));
    Fixture b(dir, "b", fixtureOptions({"--devices", "2"}));
    Fixture c(dir, "c", fixtureOptions({"--devices", "2"}));
    auto serverA = std::make_unique<kelvotest::Ser2net>(a.link, true);
    kelvotest::Ser2net serverB(b.link, false);
    kelvotest::Ser2net deviceless(dir.path("no-such-device"), false);
    ASSERT_TRUE(serverA->ready() && serverB.ready() && deviceless.ready());
    const std::string urlA = serverA->url();
    std::thread outage([&] {
        for (int i = 0; i < 1000 && kelvotest::readFile(log).find(urlA) == std::string::npos; ++i)
            usleep(10000);
        usleep(500000);  // a row is being written
        const std::uint16_t port = serverA->port();
        serverA->kill();
        usleep(1500000);
        serverA = std::make_unique<kelvotest::Ser2net>(a.link, true, "9600o81", port);
    });
    // A fourth port that nothing serves: the station says why and goes on trying it.
    const std::string nowhere = "127.0.0.1:" + std::to_string(kelvotest::unusedPort());
    const ProcessResult r = station({"-i", urlA, "-i", serverB.url(), "-i", c.port->name(), "-i",
                                     "socket://" + nowhere, "-i", deviceless.url(), "--count", "6",
                                     "--serial", "1000-1999", "--serial-at", "0x1C40", "--log", log, image});
    outage.join();
    EXPECT_EQ(r.status, 1) << r.output << r.errors;  // the device cut off failed once
    EXPECT_NE(r.output.find("Devices: 6 passed, 1 failed"), std::string::npos) << r.output;
    EXPECT_EQ(kelvotest::countOf(r.output, "socket://" + nowhere + ": the port cannot be opened: " + nowhere +
                                               " refused the connection (nothing listens on that port)\n"),
              1U)
        << r.output;
    for (const char* said : {": waiting for a device\n", ": the line was lost; the port is opened again\n"}) {
        EXPECT_EQ(kelvotest::countOf(r.output, deviceless.url() + said), 1U) << r.output;
    }
    for (const Fixture* f : {&a, &b, &c}) EXPECT_EQ(f->sim->finish(15000), 0) << f->link;

    std::map<std::string, std::vector<json>> endsOfPort;
    for (const json& record : records(log)) {
        if (record["event"] == "end") endsOfPort[record["port"]].push_back(record);
    }
    ASSERT_EQ(endsOfPort.size(), 3U) << kelvotest::readFile(log);
    const std::vector<json>& endsA = endsOfPort[urlA];
    ASSERT_EQ(endsA.size(), 3U);
    EXPECT_EQ(endsA[0]["outcome"], "failed");
    EXPECT_EQ(endsA[0]["message"], "Lost connection to serial port " + urlA + ".");
    for (const std::string& port : {urlA, serverB.url(), c.port->name()}) {
        const std::vector<json>& ends = endsOfPort[port];
        ASSERT_GE(ends.size(), 2U) << port;
        for (std::size_t k = ends.size() - 2; k < ends.size(); ++k) {
            EXPECT_EQ(ends[k]["outcome"], "passed") << port;
        }
    }
    // Each device that passed holds the image with its own serial number.
    for (const Fixture* f : {&a, &b, &c}) {
        const std::vector<json>& ends = endsOfPort[f == &a ? urlA : f == &b ? serverB.url() : c.port->name()];
        for (int k = 1; k <= 2; ++k) {
            expectImageWithSerial(f->dump(k), image,
                                  ends[ends.size() - 3 + static_cast<std::size_t>(k)]["serial"]);
        }
    }
}

}  // namespace
