#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/time_limits.h"
#include "common/update_events.h"
#include "sim/bootloader_target.h"

namespace kelvotest {

// Time limits short enough that time-outs take milliseconds.
inline constexpr kelvo::TimeLimits kShortLimits{400, 150, 1500, 20, 40, 300, 80, 1000};

// The outside world of one update in a test: its time limits, its stop request, and its events,
// collected as they come and as the console tool's text.
class TestUpdate : public kelvo::EventSink {
public:
    explicit TestUpdate(const kelvo::TimeLimits& limits = kShortLimits) : limits_(limits) {}
    kelvo::RunContext context() { return {&limits_, &stop, this}; }
    const kelvo::TimeLimits& limits() const { return limits_; }
    // What kelvoup would have printed for the events so far.
    const std::string& text() const { return text_; }
    void onEvent(const kelvo::UpdateEvent& event) override;

    kelvo::StopRequest stop;
    std::vector<kelvo::UpdateEvent> events;

private:
    kelvo::TimeLimits limits_;
    std::string text_;
};

// The simulated bootloader serving a fresh pseudo-terminal on a thread of the test process.
class SimThread {
public:
    explicit SimThread(const kelvosim::SimOptions& options);
    ~SimThread();
    SimThread(const SimThread&) = delete;
    SimThread& operator=(const SimThread&) = delete;
    const std::string& port() const { return target_.slavePath(); }
    kelvosim::BootloaderTarget& target() { return target_; }
    // Waits for the session to end (by the reset byte or a stop); true if the reset ended it.
    bool join();
    // Stops the target and waits for its thread: what it saw may be read from then on.
    kelvosim::BootloaderTarget& stopped() {
        target_.stop();
        join();
        return target_;
    }

private:
    kelvosim::BootloaderTarget target_;
    std::thread thread_;
    bool resetSeen_ = false;
    bool joined_ = false;
};

// Options for a chip from the simulator's catalog.
kelvosim::SimOptions simFor(const std::string& chip);

// One Intel HEX record with its checksum, e.g. hexRecord(0, 0x3800, {0x11, 0x22}).
std::string hexRecord(std::uint8_t type, std::uint16_t address, const std::vector<std::uint8_t>& data);

// A file in a fresh temporary directory that is removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string dir_;
};

std::string readFile(const std::string& path);

// Runs kelvoup's driver in this process on the given arguments (program name added) with short
// time limits and returns its exit status; the console text lands in `output`.
int runDriver(const std::vector<std::string>& args, std::string& output,
              const kelvo::TimeLimits& limits = kShortLimits);

// Everything written to a temporary file while the object lives.
class CapturedFile {
public:
    CapturedFile() : file_(std::tmpfile()) {}
    ~CapturedFile() { std::fclose(file_); }
    CapturedFile(const CapturedFile&) = delete;
    CapturedFile& operator=(const CapturedFile&) = delete;
    std::FILE* file() const { return file_; }
    std::string text() const;

private:
    std::FILE* file_;
};

// A program run to its end: exit status and what it printed on standard output.
struct ProcessResult {
    int status = -1;
    std::string output;  // standard output
    std::string errors;  // standard error (under Wine also the loader's and server's own messages)
};

// In a forked child: runs the program args[0] with args, or ends the child with status 127.
[[noreturn]] void execOrExit(const std::vector<std::string>& args);

// Runs a program with a time bound; standard input is /dev/null.
ProcessResult runProcess(const std::vector<std::string>& argv, int timeoutSeconds = 120);

// kelvo-sim started as its own process; port() is its pseudo-terminal.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& options);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    const std::string& port() const { return port_; }
    // Waits for the simulator to end, asking it to stop after `graceMs`; returns its status
    // (0 when the host's reset ended the session).
    int finish(int graceMs = 3000);

private:
    int pid_ = -1;
    std::string port_;
};

// A program run with a terminal for its console: standard input, output and error on a fresh
// pseudo-terminal (raw, so that the text arrives as written) whose other end the test reads, so
// that what the program prints can be watched as it appears.
class TerminalRun {
public:
    explicit TerminalRun(const std::vector<std::string>& args);
    ~TerminalRun();
    TerminalRun(const TerminalRun&) = delete;
    TerminalRun& operator=(const TerminalRun&) = delete;

    // Waits up to `ms` for `text` to appear on the terminal. True when it did; seenAt() is then the
    // tick count at which it arrived.
    bool waitFor(const std::string& text, int ms);
    std::uint32_t seenAt() const { return seenAt_; }
    // Sends `signal` to the program.
    void signal(int signal) const;
    // Waits up to `ms` for the program to end (killing it after that) and returns its wait status;
    // what it printed until then is in text().
    int finish(int ms);
    const std::string& text() const { return text_; }

private:
    // Reads what arrives within `ms`: 1 when something did, 0 when nothing, -1 once the terminal
    // has closed.
    int readFor(int ms);

    int master_ = -1;
    int pid_ = -1;
    std::string text_;
    std::uint32_t seenAt_ = 0;
};

// Where every byte of a HEX file belongs, as srec_cat (package srecord) reads it: byte address ->
// value. The reference for what the tools write.
std::map<std::uint32_t, std::uint8_t> srecCatBytes(const std::string& hexPath);

// Counts the non-overlapping occurrences of `needle` in `haystack`.
std::size_t countOf(const std::string& haystack, const std::string& needle);

std::string kelvoupBinary();
std::string simBinary();
std::string realHexDir();

}  // namespace kelvotest

namespace kelvotest {

// The console text of a successful update; `loadMessages` stands between "Reading HexFile" and
// "Programming Device ".
std::string successTranscript(const std::string& loadMessages = "");

// The progress lines "writng data blocks - block # N" for blocks first to last.
std::string writeLines(int first, int last);
// The lines "Validating data block # N" for blocks first to last.
std::string validateLines(int first, int last);

// The worked example: three records placing 11 22 33 00 44 55 66 00 at byte address 0x3800.
std::string workedExampleHex();

}  // namespace kelvotest

namespace kelvotest {

// The value of an environment variable, or "" when it is not set.
std::string environment(const char* name);

// The updater under test: the Linux binary, or the Windows build under Wine when the environment
// names it (KELVO_WINDOWS_EXE, with WINEPREFIX prepared and KELVO_WINE naming the wine program).
bool hostIsWindows();

// The command line that runs the updater with `args`.
std::vector<std::string> hostCommand(const std::vector<std::string>& args);

// Runs the updater with `args`. Under Wine its console's CRLF line ends are turned into LF, the
// one way in which its output differs.
ProcessResult runHost(const std::vector<std::string>& args, int timeoutSeconds = 180);

// The name by which the updater reaches a simulator's pty: the pty path itself on Linux, a COM
// port mapped to it in the Wine prefix (released again with the object) under Wine.
class HostPort {
public:
    explicit HostPort(const std::string& ptyPath);
    ~HostPort();
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;
    const std::string& name() const { return name_; }

private:
    std::string name_;
    std::string link_;
};

}  // namespace kelvotest
