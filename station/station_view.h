#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace kelvo {

enum class PortState { opening, unavailable, waiting, updating, removing, finished };

// What the operator sees of one port.
struct PortStatus {
    std::string port;
    PortState state = PortState::opening;
    std::string detail;  // the phase of an update, or why the port waits, is unavailable or done
    std::string chip;
    double progress = 0;   // of the update in progress, 0 to 1
    int secondsLeft = -1;  // -1: not known yet
    std::string last;      // the last device's outcome, with its serial number or its reason
    bool lastPassed = false;
    int passed = 0;
    int failed = 0;
    int interrupted = 0;
};

// The station's screen. On a terminal: a table with a line per port and a totals line, redrawn in
// place on every tick, passed in green and failed in red, fitted to the terminal's width (after a
// resize the screen is drawn anew, the station's notes above the table). Otherwise: a plain line
// per event, no escape codes. Safe to use from every port at once.
class StationView {
public:
    StationView(std::FILE* out, bool liveTable, std::vector<std::string> ports);
    void set(std::size_t port, const PortStatus& status);
    // An event of a port, as a plain line (a terminal shows it in the table instead).
    void event(std::size_t port, const std::string& text);
    // A line of the station's own, above the table on a terminal.
    void note(const std::string& text);
    void tick();
    // The table one last time (on a terminal), then the summary.
    void finish(const std::string& summary);

    int passed() const { return sum(&PortStatus::passed); }
    int failed() const { return sum(&PortStatus::failed); }
    int interrupted() const { return sum(&PortStatus::interrupted); }
    // "5 passed, 1 failed, yield 83.3%, 42.0 devices per hour"
    std::string totals() const;

private:
    void drawLocked();
    void eraseLocked();
    double hours() const;
    // The devices of every port that `count` counts.
    int sum(int PortStatus::*count) const;

    std::FILE* out_;
    bool live_;
    mutable std::mutex mutex_;
    std::vector<PortStatus> ports_;
    std::vector<std::string> notes_;  // the latest, drawn again above the table after a resize
    std::size_t linesDrawn_ = 0;
    int columns_ = 0;  // the terminal's width when the table was drawn
    std::uint32_t started_;
};

}  // namespace kelvo
