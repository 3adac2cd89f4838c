// The real kelvoup binary against kelvo-sim, each a process of its own, over a pseudo-terminal,
// with the tool's real time limits.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/time_limits.h"
#include "tests/net_support.h"
#include "tests/test_support.h"

namespace {

using kelvotest::HostPort;
using kelvotest::kelvoupBinary;
using kelvotest::ProcessResult;
using kelvotest::runProcess;
using kelvotest::SimProcess;
using kelvotest::TempDir;

const std::string kUsage =
    "\nUsage:      KelvoUp.exe -i interface file\nOptions:\n"
    "  -i        specifies serial interface name such as COM1, COM2, etc\n\n";

ProcessResult kelvoup(const std::vector<std::string>& args) {
    return kelvotest::runHost(args);
}

TEST(CommandLine, UsageAndOptionErrorsNeverTouchThePort) {
    TempDir dir;
    const std::string hex = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string rxLog = dir.path("rx.bin");
    SimProcess sim({"--rx-log", rxLog});
    ASSERT_FALSE(sim.port().empty());
    const HostPort port(sim.port());

    ProcessResult r = kelvoup({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output, kUsage);

    r = kelvoup({hex});  // a file but no -i
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output, kUsage);

    const std::vector<std::pair<std::vector<std::string>, char>> unknown = {
        {{"-i", port.name(), "-b", "9600", hex}, 'b'}, {{"-p", "x", "-i", port.name(), hex}, 'p'},
        {{"-i", port.name(), hex, "-e", "1"}, 'e'},    {{"-i", port.name(), "-z", hex}, 'z'},
        {{"-i", port.name(), "-", hex}, '-'},          {{"-i", port.name(), "--", hex}, '-'},
        {{"-i", port.name(), "-.", hex}, '.'},         {{"-.", "-i", port.name()}, '.'},
    };
    for (const auto& [args, letter] : unknown) {
        r = kelvoup(args);
        EXPECT_EQ(r.status, 2) << args[2];
        EXPECT_EQ(r.output, std::string("\nUnknown option `") + letter + "'\n" + kUsage);
    }

    r = kelvoup({hex, "-i"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output, "\n-i requires argument\n" + kUsage);

    EXPECT_NE(sim.finish(200), 0);  // stopped, not reset
    EXPECT_EQ(kelvotest::readFile(rxLog), "");
}

TEST(CommandLine, PortsThatCannotBeUsed) {
    TempDir dir;
    const std::string hex = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string notAble =
        "\nNot able to open serial port. Please make sure no other applications using Communication Port ";
    // A port that does not exist: the ports there are follow, on one line.
    ProcessResult r = kelvoup({"-i", "/dev/ttyKELVO-none", hex});
    EXPECT_EQ(r.status, 1);
    const std::string ports = "\nSerial ports on this computer: ";
    EXPECT_TRUE(r.output.starts_with(notAble + "/dev/ttyKELVO-none." + ports)) << r.output;
    EXPECT_TRUE(r.output.ends_with("\n") && kelvotest::countOf(r.output, "\n") == 3) << r.output;

    // A port the user may not open: a group to join follows only when joining it would help.
    const passwd* nobody = getpwnam("nobody");
    const group* dialout = getgrnam("dialout");
    if (!kelvotest::hostIsWindows() && geteuid() == 0 && nobody != nullptr && dialout != nullptr) {
        SimProcess sim({});
        // The user must reach the program and the file, wherever the build lies.
        chmod(dir.path("").c_str(), 0755);
        const std::string program = dir.path("kelvoup");
        std::filesystem::copy_file(kelvoupBinary(), program);
        const std::string join =
            "\n\nPermission denied: add yourself to the group `dialout' (sudo usermod -aG dialout $USER) "
            "and log in again.\n";
        const std::string noAccess = "\n\nPermission denied: you have no access to " + sim.port() +
                                     ", and no group you could join has; an administrator must grant it.\n";
        struct Case {
            const char* name;
            gid_t group;
            mode_t mode;
            std::string hint;
        };
        const Case cases[] = {
            {"a group that may read and write it", dialout->gr_gid, 0660, join},
            {"root only", 0, 0600, noAccess},
            {"root's group", 0, 0660, noAccess},
            {"a group that may only write it (a terminal's)", dialout->gr_gid, 0620, noAccess},
        };
        for (const Case& c : cases) {
            ASSERT_EQ(chown(sim.port().c_str(), 0, c.group), 0);
            ASSERT_EQ(chmod(sim.port().c_str(), c.mode), 0);
            r = runProcess({"/usr/bin/setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                            "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups", program, "-i",
                            sim.port(), hex});
            EXPECT_EQ(r.status, 1) << c.name << r.errors;
            EXPECT_TRUE(r.output.starts_with(notAble + sim.port() + "." + ports)) << c.name << r.output;
            EXPECT_TRUE(r.output.ends_with(c.hint)) << c.name << r.output;
        }
        sim.finish(200);
    }

    // A regular file other than the HEX file: on Windows the tool itself holds the HEX file open,
    // so opening that one as the port fails earlier, as a port in use.
    const std::string plainFile = dir.write("not-a-port.bin", "x");
    for (const std::string& notSerial : {std::string("/dev/null"), plainFile}) {
        r = kelvoup({"-i", notSerial, hex});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.output,
                  "\nPlease make sure your serial port is connected and not opened by other "
                  "application. Then run this program again.");
    }
}

TEST(CommandLine, ASecondInstanceCannotTakeABusyPort) {
    if (kelvotest::hostIsWindows()) GTEST_SKIP() << "Wine has no share-mode check for devices";
    TempDir dir;
    const std::string hex = dir.write("fw.hex", kelvotest::workedExampleHex());
    SimProcess sim({"--row-ms", "1500"});
    const pid_t first = fork();
    if (first == 0) {
        freopen("/dev/null", "w", stdout);
        kelvotest::execOrExit({kelvoupBinary(), "-i", sim.port(), hex});
    }
    usleep(500000);  // the first instance is writing its first row by now
    const ProcessResult second = kelvoup({"-i", sim.port(), hex});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.output,
              "\nNot able to open serial port. Please make sure no other applications using "
              "Communication Port " +
                  sim.port() + ".");
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
}

// Every signal that ends a run (Ctrl-C, kill, a terminal that closes, Ctrl-\\), at every moment of
// the run: the run ends at once with the interrupt message after what it had printed, status 130,
// the port restored and released, and never a success. The console is a terminal, as a user's is,
// so the text shows as it is printed (a message must show while the tool waits) and the signal
// comes right after the text of its moment.
class Signals : public ::testing::TestWithParam<int> {};

TEST_P(Signals, EndTheRunCleanlyAtAnyMoment) {
    // Wine turns no Unix signal into a console event for a program without a console; the Windows
    // handler is tested by the Win32 backend's own tests instead.
    if (kelvotest::hostIsWindows()) GTEST_SKIP() << "a signal to wine is not a console event";
    const int signal = GetParam();
    TempDir dir;
    const std::string hex = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string fifo = dir.path("fifo.hex");
    const std::string fifoWithoutWriter = dir.path("nobody-writes.hex");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(fifoWithoutWriter.c_str(), 0600), 0);
    const std::string interrupted =
        "\nInterrupted. The device has not been updated: reset it and update again.\n";
    struct Moment {
        const char* name;
        std::vector<std::string> sim;
        std::string file;
        std::string trigger;  // the signal comes this long after this text (or the start) shows
        int afterMs;
        std::string endsWith;    // the console text before the interrupt message
        std::uint32_t withinMs;  // the run ends this soon after the signal
    };
    const std::string contact = "\nEstablishing connection to the target Kelvo device.";
    const std::string passed = contact + "\nReading Target Device ID\nReading HexFile\nProgramming Device " +
                               kelvotest::writeLines(0, 2183);
    const Moment moments[] = {
        {"opening a FIFO that nobody writes yet", {}, fifoWithoutWriter, "", 300, "", 300},
        {"reading a file that is still coming", {}, fifo, "", 300, "", 300},
        {"contacting a silent target", {"--silent"}, hex, contact, 200, contact, 300},
        {"waiting for the identification",
         {"--id-length", "3"},
         hex,
         "Reading Target Device ID",
         400,
         contact + "\nReading Target Device ID",
         300},
        {"writing a row",
         {"--row-ms", "3000"},
         hex,
         "block # 111",
         300,
         contact + "\nReading Target Device ID\nReading HexFile\nProgramming Device " +
             kelvotest::writeLines(0, 111),
         300},
        // A fixed pause ends within a few milliseconds, and nothing follows it.
        {"the pause after the programming pass", {}, hex, "block # 2183", 100, passed, 150},
        {"the pause before the verification",
         {},
         hex,
         "Start validating firmware.",
         100,
         passed + "\nTransmitting firmware finished.\nStart validating firmware.",
         150},
        // A read-back that has not come is no bad data.
        {"waiting for a read-back",
         {"--skip-readback", "0x1C00"},
         hex,
         "Validating data block # 112",
         300,
         passed + "\nTransmitting firmware finished.\nStart validating firmware." +
             kelvotest::validateLines(0, 112),
         300},
    };
    for (const Moment& m : moments) {
        SimProcess sim(m.sim);
        // Watches the port from beside the tool: the simulator leaves the pty raw without input
        // parity checking; the tool turns it on while it runs and must restore it and give up its
        // exclusive hold.
        const int watcher = open(sim.port().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(watcher, 0);
        // Half a file, and a writer that keeps the FIFO open.
        std::thread writer;
        int writerFd = -1;
        if (m.file == fifo) {
            writer = std::thread([&] {
                writerFd = open(fifo.c_str(), O_WRONLY);
                const std::string half = kelvotest::hexRecord(0, 0x3800, {1, 2, 3, 0});
                (void)!write(writerFd, half.data(), half.size());
            });
        }
        kelvotest::TerminalRun run(kelvotest::hostCommand({"-i", sim.port(), m.file}));
        if (!m.trigger.empty()) {
            ASSERT_TRUE(run.waitFor(m.trigger, 5000)) << m.name << ": " << run.text().substr(0, 300);
            termios t{};
            ASSERT_EQ(tcgetattr(watcher, &t), 0);
            EXPECT_NE(t.c_iflag & INPCK, 0U) << m.name << ": the port is not configured yet";
        }
        usleep(static_cast<useconds_t>(m.afterMs) * 1000);
        const std::uint32_t start = kelvo::tickCount();
        run.signal(signal);
        const int status = run.finish(5000);
        EXPECT_LT(kelvo::elapsedSince(start), m.withinMs) << m.name;
        ASSERT_TRUE(WIFEXITED(status)) << m.name << ": ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 130) << m.name;
        const std::string& text = run.text();
        EXPECT_EQ(text, m.endsWith + interrupted)
            << m.name << ": ..." << text.substr(text.size() > 300 ? text.size() - 300 : 0);
        termios t{};
        ASSERT_EQ(tcgetattr(watcher, &t), 0);
        EXPECT_EQ(t.c_iflag & INPCK, 0U) << m.name << ": the settings were not restored";
        int exclusive = 1;
        ASSERT_EQ(ioctl(watcher, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0) << m.name << ": the exclusive flag outlived the run";
        close(watcher);
        if (writer.joinable()) writer.join();
        if (writerFd >= 0) close(writerFd);
        // The FIFO that nobody wrote is opened for writing once, so that a tool still waiting on it
        // (a failed run) is released.
        if (m.file == fifoWithoutWriter) close(open(fifoWithoutWriter.c_str(), O_WRONLY | O_NONBLOCK));
        sim.finish(300);
    }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Signals, ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// What the host sends for the worked example: ping, identification, the row, the configuration
// frames, the read-back and the reset.
std::string workedExampleWire() {
    std::string wire = "\x0B\x09";
    wire += std::string("\x03\x00\x1C\x00", 4) + std::string("\x11\x22\x33\x00\x44\x55\x66\x00", 8) +
            std::string(120, '\xFF');
    wire += std::string("\x07\x01\xFF\xFF", 4);
    for (int i = 0; i < 6; ++i) wire += "\x01\xFF\xFF";
    wire += std::string("\x02\x00\x1C\x00", 4);
    return wire + "\x08";
}

TEST(EndToEnd, WorkedExampleWireBytesAndConsole) {
    TempDir dir;
    const std::string hex = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string rxLog = dir.path("rx.bin");
    SimProcess sim({"--chip", "dsPIC30F2010", "--rx-log", rxLog});
    const HostPort port(sim.port());
    const ProcessResult r = kelvoup({"-i", port.name(), hex});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, kelvotest::successTranscript());
    EXPECT_EQ(sim.finish(), 0);

    EXPECT_EQ(kelvotest::readFile(rxLog), workedExampleWire());
}

// On a terminal each message shows as it is printed, so a user sees what the tool is waiting for;
// the two fixed pauses (after the programming pass, before the verification) are where they belong.
TEST(EndToEnd, ATerminalSeesEachMessageAtOnceAndThePausesWhereTheyBelong) {
    if (kelvotest::hostIsWindows()) GTEST_SKIP() << "Wine's console is not the terminal's";
    TempDir dir;
    const std::string hex = dir.write("fw.hex", kelvotest::workedExampleHex());
    SimProcess sim({"--ping-delay", "1500"});
    const std::uint32_t start = kelvo::tickCount();
    kelvotest::TerminalRun run({kelvoupBinary(), "-i", sim.port(), hex});
    // While the first ping waits for its answer.
    ASSERT_TRUE(run.waitFor("Establishing connection to the target Kelvo device.", 1000));
    EXPECT_LT(run.seenAt() - start, 1000U);
    struct Pause {
        std::string before, after;
    };
    const Pause pauses[] = {{"block # 2183", "Transmitting firmware finished."},
                            {"Start validating firmware.", "Validating data block # 0"}};
    for (const Pause& pause : pauses) {
        ASSERT_TRUE(run.waitFor(pause.before, 5000)) << pause.before;
        const std::uint32_t from = run.seenAt();
        ASSERT_TRUE(run.waitFor(pause.after, 5000)) << pause.after;
        EXPECT_GE(run.seenAt() - from, 950U) << "no pause between " << pause.before << " and " << pause.after;
    }
    const int status = run.finish(5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << run.text().substr(0, 300);
    EXPECT_EQ(run.text(), kelvotest::successTranscript());
    sim.finish(300);
}

TEST(EndToEnd, FailuresThroughTheRealBinary) {
    TempDir dir;
    const std::string hex = dir.write("fw.hex", kelvotest::workedExampleHex());
    struct Case {
        std::vector<std::string> sim;
        int status;
        std::string needle;
        std::string file = {};  // the worked example when empty
    };
    const std::string eof = kelvotest::hexRecord(1, 0, {});
    // Below word address 0x1C00 nothing is read back: only the acknowledgements tell.
    const std::string low = dir.write("low.hex", kelvotest::hexRecord(0, 0x0100, {1, 2, 3, 0}) + eof);
    // Two rows that are read back, one after the other.
    const std::string twoRows = dir.write("two.hex", kelvotest::hexRecord(0, 0x3800, {1, 2, 3, 0}) +
                                                         kelvotest::hexRecord(0, 0x3880, {4, 5, 6, 0}) + eof);
    // The read-back of row 0x1C00 is 00 33 22 11 00 66 55 44 ... 00 FF FF FF: byte 0 of each group
    // is the unstored top byte, bytes 1 to 3 the stored ones.
    const std::string badBlock =
        kelvotest::validateLines(0, 112) +
        "\nATTENTION: block #112 has bad data. "
        "\nFirmware did not pass the validation. Update failed. Please update again or "
        "contact Varnoth technical support.\n";
    const std::string success = "Frimware has been successfully updated";
    const std::string notAccepted2 = "\nThe target Kelvo device did not accept block # 2. Update failed.";
    const std::vector<Case> cases = {
        {{"--flip-readback", "0x1C00:1"}, 1, badBlock},
        {{"--flip-readback", "0x1C00:2"}, 1, badBlock},
        {{"--flip-readback", "0x1C00:3"}, 1, badBlock},
        {{"--flip-readback", "0x1C00:125"}, 1, badBlock},  // the stored bytes of the last instruction
        {{"--flip-readback", "0x1C00:127"}, 1, badBlock},
        {{"--flip-readback", "0x1C00:0"}, 0, success},
        {{"--flip-readback", "0x1C00:124"}, 0, success},
        {{"--refuse-all"},
         1,
         kelvotest::writeLines(0, 111) +
             "\nThe target Kelvo device did not accept block # 112. Update failed. Please update again or "
             "contact Varnoth technical support.\n"},
        {{"--refuse-frame", "1:2"}, 0, success},
        {{"--id", "0ABC", "--rev", "3"}, 1, "The target chip is not responding"},
        // Stray bytes are never replies: each refusal followed by a stray 0x01; every reply one
        // byte too long (a 9-byte identification ending in 0x01, acknowledgements and read-backs
        // followed by 0x01).
        {{"--overlong", "1", "--refuse-all"},
         1,
         "\nThe target Kelvo device did not accept block # 2. Update failed.",
         low},
        {{"--overlong", "1"}, 0, success, twoRows},
        // On a line paced like a real one the tail of a refusal, or a stray 0x01 a few
        // milliseconds after it, arrives while the resent frame is still on the line.
        {{"--baud", "9600", "--refuse-all", "--overlong", "9"},
         1,
         "\nThe target Kelvo device did not accept block # 2. Update failed.",
         low},
        // A stray 0x01 that comes after the quiet wait, while the resent frame is on the line or
        // being written, looks like its acknowledgement; the target's own refusal follows it.
        {{"--baud", "9600", "--refuse-all", "--stray-after-refusal", "5"},
         1,
         "\nThe target Kelvo device did not accept block # 2. Update failed.",
         low},
        {{"--baud", "9600", "--refuse-all", "--stray-after-refusal", "120"}, 1, notAccepted2, low},
        {{"--baud", "9600", "--refuse-all", "--stray-after-refusal", "150"}, 1, notAccepted2, low},
        {{"--baud", "9600", "--refuse-all", "--stray-after-refusal", "200"}, 1, notAccepted2, low},
        {{"--baud", "9600", "--refuse-all", "--stray-after-refusal", "300"}, 1, notAccepted2, low},
        {{"--baud", "9600", "--refuse-all", "--stray-after-refusal", "600"}, 1, notAccepted2, low},
        // Refused once, then a stray before the target's own acknowledgement of the resend: the
        // row goes out a third time and the update stands.
        {{"--baud", "9600", "--refuse-frame", "1:1", "--stray-after-refusal", "300"}, 0, success, low},
        // The first configuration frame: a configuration sequence cannot be repeated, so an
        // acknowledgement that may not have been the target's own ends the update.
        {{"--baud", "9600", "--refuse-frame", "2:1", "--stray-after-refusal", "300"},
         1,
         "\nThe target Kelvo device did not accept block # 2176. Update failed.",
         low},
        // A line lost while the reset goes out, after the last acknowledgement of an image that is
        // not read back: the update stands, and nothing contradicts the success.
        {{"--hangup-after-ack", "8"}, 0, success, low},
    };
    for (const Case& c : cases) {
        const std::string rxLog = dir.path("rx.bin");
        std::string label;  // the case, as its options read
        for (const std::string& option : c.sim) label += option + " ";
        std::vector<std::string> options = c.sim;
        options.insert(options.end(), {"--rx-log", rxLog});
        SimProcess sim(options);
        const HostPort port(sim.port());
        const ProcessResult r = kelvoup({"-i", port.name(), c.file.empty() ? hex : c.file});
        EXPECT_EQ(r.status, c.status) << label;
        EXPECT_NE(r.output.find(c.needle), std::string::npos) << label << r.output.substr(0, 300);
        if (c.status != 0) {
            EXPECT_EQ(kelvotest::countOf(r.output, success), 0U);
        } else {
            EXPECT_EQ(kelvotest::countOf(r.output, "Lost connection"), 0U) << label;
        }
        sim.finish(500);
        const std::string wire = kelvotest::readFile(rxLog);
        if (c.sim[0] == "--flip-readback") {
            EXPECT_EQ(wire.back(), '\x08');  // the reset goes out after a failure too
        }
        if (c.sim[0] == "--refuse-frame") {
            EXPECT_EQ(kelvotest::countOf(wire, std::string("\x03\x00\x1C\x00\x11\x22\x33\x00", 8)), 3U);
        }
        if (c.sim.size() > 2 && c.sim[2] == "--refuse-frame" && c.status == 0) {
            EXPECT_EQ(kelvotest::countOf(wire, std::string("\x03\x80\x00\x00\x01\x02\x03\x00", 8)), 3U);
        }
        if (c.sim[0] == "--refuse-all") {
            EXPECT_EQ(kelvotest::countOf(wire, std::string("\x03\x00\x1C\x00\x11\x22\x33\x00", 8)), 10U);
            EXPECT_EQ(wire.back(), '\x08');
        }
    }
}

// Runs the updater with its console as `console` leaves it (in the child, before the exec), and
// returns its wait status.
int runWithConsole(const std::vector<std::string>& args, void (*console)(int pipeEnd)) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    close(fds[0]);  // a console reader that has already gone
    const pid_t child = fork();
    if (child == 0) {
        console(fds[1]);
        kelvotest::execOrExit(kelvotest::hostCommand(args));
    }
    close(fds[1]);
    int status = -1;
    for (int i = 0; i < 6000 && waitpid(child, &status, WNOHANG) == 0; ++i) usleep(10000);
    if (!WIFEXITED(status) && !WIFSIGNALED(status)) kill(child, SIGKILL);
    return status;
}

TEST(EndToEnd, AConsoleThatIsClosedOrGoneChangesNothing) {
    if (kelvotest::hostIsWindows())
        GTEST_SKIP() << "Wine's own handling of closed descriptors is not Windows'";
    TempDir dir;
    const std::string hex = dir.write("fw.hex", kelvotest::workedExampleHex());
    struct Case {
        const char* name;
        void (*console)(int pipeEnd);
    };
    const Case cases[] = {
        // kelvoup ... >&- 2>&-: the file, then the port, would take descriptor 1.
        {"standard output and error closed",
         [](int) {
             close(1);
             close(2);
         }},
        // kelvoup ... | head -1, once head has gone.
        {"a pipe whose reader has gone", [](int pipeEnd) { dup2(pipeEnd, 1); }},
    };
    for (const Case& c : cases) {
        const std::string rxLog = dir.path("rx.bin");
        SimProcess sim({"--chip", "dsPIC30F2010", "--rx-log", rxLog});
        const HostPort port(sim.port());
        const int status = runWithConsole({"-i", port.name(), hex}, c.console);
        EXPECT_TRUE(WIFEXITED(status)) << c.name << ": ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.name;
        sim.finish(500);
        // The whole update went out, verification and reset included, and nothing else.
        EXPECT_EQ(kelvotest::readFile(rxLog), workedExampleWire()) << c.name;
    }
}

// Waits up to `ms` for a process to close `path` after reading it.
bool waitForReadAndClose(const std::string& path, int ms) {
    const int watch = inotify_init1(IN_NONBLOCK);
    if (watch < 0) return false;
    inotify_add_watch(watch, path.c_str(), IN_CLOSE_NOWRITE);
    pollfd p{watch, POLLIN, 0};
    const bool closed = poll(&p, 1, ms) > 0;
    close(watch);
    return closed;
}

TEST(EndToEnd, HexFilesAsUsersHandThem) {
    TempDir dir;
    const std::string good = kelvotest::workedExampleHex();
    const std::string eof = kelvotest::hexRecord(1, 0, {});
    const std::string cut = good.substr(0, good.size() - eof.size());
    // Data for another chip, at byte address 0x1D000000.
    const std::string foreign =
        kelvotest::hexRecord(4, 0, {0x1D, 0x00}) + kelvotest::hexRecord(0, 0, {1, 2, 3, 0}) + eof;
    const std::string dirPath = dir.path("folder");
    std::filesystem::create_directory(dirPath);
    struct Case {
        const char* name;
        std::string path;
        int status;
        std::string output;
        std::string wire;  // what the target received
    };
    const std::string contacted =
        "\nEstablishing connection to the target Kelvo device.\nReading Target Device ID\nReading HexFile";
    const std::string nothingToWrite = "\nBad Hex file: nothing in it can be written to this chip.\n";
    std::vector<Case> cases = {
        {"cut", dir.write("cut.hex", cut), 1,
         "\nBad Hex file: line 3: no end-of-file record (the file may be cut short)\n", ""},
        {"foreign", dir.write("foreign.hex", foreign), 1,
         contacted +
             "Bad Hex file: 0xe800000Address out of range\nBad Hex file: 0xe800001Address out of range\n" +
             nothingToWrite,
         "\x0B\x09\x08"},
        {"directory", dirPath, 1, "\nCan't open file: " + dirPath + "\n", ""},
        {"missing", dir.path("missing.hex"), 1, "\nCan't open file: " + dir.path("missing.hex") + "\n", ""},
        {"damaged", dir.write("bad.hex", ":10000000\n"), 1,
         "\nBad Hex file: line 1: record length mismatch\n", ""},
        // Words the chip never gets: they count as nothing to write, and data in them is reported.
        {"only the eighth configuration word, for a dsPIC30F",
         dir.write("config8.hex", kelvotest::hexRecord(4, 0, {0x01, 0xF0}) +
                                      kelvotest::hexRecord(0, 0x001C, {0x12, 0x34, 0x00, 0x00}) + eof),
         1, contacted + "Bad Hex file: 0xf8000eAddress out of range\n" + nothingToWrite, "\x0B\x09\x08"},
        {"EEPROM data only in the second word of a location",
         dir.write("eeprom2.hex", kelvotest::hexRecord(4, 0, {0x00, 0xFF}) +
                                      kelvotest::hexRecord(0, 0xF802, {0x12, 0x34}) + eof),
         1, contacted + "Bad Hex file: 0x7ffc01Address out of range\n" + nothingToWrite, "\x0B\x09\x08"},
        // A configuration location given only its (padding) second word goes out empty.
        {"a configuration location with only its second word",
         dir.write("config2.hex", good.substr(0, good.size() - eof.size()) +
                                      kelvotest::hexRecord(4, 0, {0x01, 0xF0}) +
                                      kelvotest::hexRecord(0, 0x0002, {0xFF, 0x00}) + eof),
         0, kelvotest::successTranscript(), workedExampleWire()},
    };
    if (!kelvotest::hostIsWindows()) {
        cases.push_back({"endless", "/dev/zero", 1, "\nBad Hex file: line 1: line too long\n", ""});
        cases.push_back(
            {"fifo", dir.path("fifo.hex"), 0, kelvotest::successTranscript(), workedExampleWire()});
        ASSERT_EQ(mkfifo(cases.back().path.c_str(), 0600), 0);
    }
    for (const Case& c : cases) {
        const std::string rxLog = dir.path("rx.bin");
        std::remove(rxLog.c_str());
        SimProcess sim({"--chip", "dsPIC30F2010", "--rx-log", rxLog});
        const HostPort port(sim.port());
        std::thread writer;
        if (std::string(c.name) == "fifo") {
            writer = std::thread([&] { std::ofstream(c.path, std::ios::binary) << good; });
        }
        const auto start = std::chrono::steady_clock::now();
        const ProcessResult r = kelvoup({"-i", port.name(), c.path});
        if (writer.joinable()) writer.join();
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.output, c.output) << c.name;
        if (c.wire.empty()) {
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.name;
        }
        sim.finish(300);
        EXPECT_EQ(kelvotest::readFile(rxLog), c.wire) << c.name;
    }
    if (kelvotest::hostIsWindows()) return;

    // A file rewritten while the target is being contacted: what is written is what was read.
    const std::string replaced = dir.write("replaced.hex", good);
    const std::string rxLog = dir.path("rx-replaced.bin");
    SimProcess sim({"--chip", "dsPIC30F2010", "--ping-delay", "3000", "--rx-log", rxLog});
    const HostPort port(sim.port());
    std::thread replacer([&] {
        waitForReadAndClose(replaced, 2000);
        dir.write("replaced.hex", kelvotest::hexRecord(0, 0x3800, {0xAA, 0xBB, 0xCC, 0x00}) + eof);
    });
    const ProcessResult r = kelvoup({"-i", port.name(), replaced});
    replacer.join();
    EXPECT_EQ(r.status, 0) << r.output.substr(0, 300);
    sim.finish(300);
    const std::string wire = kelvotest::readFile(rxLog);
    EXPECT_NE(wire.find(std::string("\x03\x00\x1C\x00\x11\x22\x33\x00\x44\x55\x66\x00", 12)),
              std::string::npos);
    EXPECT_EQ(wire.find("\xAA\xBB"), std::string::npos);
}

// Whether the file's byte at `at` is carried to the chip: program memory fully, EEPROM and
// configuration locations by their first word only, and no eighth configuration word on dsPIC30F.
bool carried(std::uint32_t at, int family) {
    const std::uint32_t word = at / 2;
    if (word >= 0x7FF000 && word < 0x800000) return at % 4 < 2;
    if (word >= 0xF80000 && word < 0xF80010) return at % 4 < 2 && !(family == 0 && word >= 0xF8000E);
    return true;
}

struct RealImage {
    const char* file;
    const char* chip;
    int family;
    const char* port = "pty";  // the simulator's pty itself, or through ser2net: "rfc2217", "socket"
};

class RealImages : public ::testing::TestWithParam<RealImage> {};

TEST_P(RealImages, FullUpdateAndTheTargetHoldsTheFile) {
    const RealImage image = GetParam();
    const std::string hexPath = kelvotest::realHexDir() + "/" + image.file;
    if (!std::filesystem::exists(hexPath)) GTEST_SKIP() << "no " << hexPath;
    TempDir dir;
    const std::string dump = dir.path("dump.hex");
    SimProcess sim({"--chip", image.chip, "--dump", dump});
    const HostPort port(sim.port());
    const bool network = image.port != std::string("pty");
    std::unique_ptr<kelvotest::Ser2net> server;
    if (network) {
        server = std::make_unique<kelvotest::Ser2net>(sim.port(), image.port == std::string("rfc2217"));
        ASSERT_TRUE(server->ready());
    }
    const ProcessResult r = kelvoup({"-i", network ? server->url() : port.name(), hexPath});
    EXPECT_EQ(r.status, 0) << r.output.substr(0, 2000) << r.errors.substr(0, 2000);
    EXPECT_NE(r.output.find("Frimware has been successfully updated"), std::string::npos);
    EXPECT_EQ(kelvotest::countOf(r.output, "Address out of range"), 0U);
    ASSERT_EQ(sim.finish(), 0);

    const auto input = kelvotest::srecCatBytes(hexPath);
    const auto held = kelvotest::srecCatBytes(dump);
    ASSERT_FALSE(input.empty());
    std::size_t compared = 0;
    for (const auto& [at, value] : input) {
        if (!carried(at, image.family)) continue;
        const auto it = held.find(at);
        ASSERT_NE(it, held.end()) << std::hex << "byte 0x" << at << " missing on the target";
        EXPECT_EQ(it->second, value) << std::hex << "byte 0x" << at;
        ++compared;
    }
    EXPECT_GT(compared, 100U);
    // Everything else the target holds is erased padding of the rows that were written.
    for (const auto& [at, value] : held) {
        if (input.count(at) != 0) continue;
        // Instructions pad as FF FF FF 00; EEPROM and configuration locations as FF FF 00 00.
        const bool wordLocation = at / 2 >= 0x7FF000;
        EXPECT_EQ(value, at % 4 >= (wordLocation ? 2U : 3U) ? 0x00 : 0xFF) << std::hex << "byte 0x" << at;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shared, RealImages,
    ::testing::Values(RealImage{"01_dspic30f4013_c30_tictoc_crlf.hex", "dsPIC30F4013", 0},
                      RealImage{"03_dspic30f6012a_xc16_dashboard_eeprom.hex", "dsPIC30F6012A", 0},
                      RealImage{"05_dspic33fj32mc202_xc16v2_i2c_dac.hex", "dsPIC33FJ64MC506", 1},
                      RealImage{"08_pic24hj256gp610a_xc16_explorer16_ctrl.hex", "PIC24HJ256GP610", 2},
                      RealImage{"10_pic24f16kl401_xc16_tempsensor.hex", "PIC24FJ64GA006", 3},
                      RealImage{"11_pic24fj64ga004_xc16_flashcfg.hex", "PIC24FJ64GA006", 3}),
    [](const ::testing::TestParamInfo<RealImage>& info) {
        return std::string("image") + std::string(info.param.file).substr(0, 2) + "_" + info.param.chip;
    });

// The same through a device server on the network.
INSTANTIATE_TEST_SUITE_P(
    Network, RealImages,
    ::testing::Values(RealImage{"03_dspic30f6012a_xc16_dashboard_eeprom.hex", "dsPIC30F6012A", 0, "rfc2217"},
                      RealImage{"08_pic24hj256gp610a_xc16_explorer16_ctrl.hex", "PIC24HJ256GP610", 2, "socket"}),
    [](const ::testing::TestParamInfo<RealImage>& info) {
        return std::string("image") + std::string(info.param.file).substr(0, 2) + "_" + info.param.chip + "_over_" +
               info.param.port;
    });

}  // namespace
