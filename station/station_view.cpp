#include "station/station_view.h"

#include <algorithm>

#include "common/time_limits.h"
#include "station/device_log.h"

namespace kelvo {

namespace {

const char* kGreen = "\x1b[32m";
const char* kRed = "\x1b[31m";
const char* kPlain = "\x1b[0m";

const char* stateText(PortState state) {
    switch (state) {
        case PortState::opening: return "opening";
        case PortState::unavailable: return "unavailable";
        case PortState::waiting: return "waiting for a device";
        case PortState::updating: return "updating";
        case PortState::removing: return "remove the device";
        case PortState::finished: return "done";
    }
    return "";
}

// Cut to `width` characters and padded to it.
std::string fit(std::string text, std::size_t width) {
    if (text.size() > width) text = text.substr(0, width - 1) + "~";
    return text + std::string(width - text.size(), ' ');
}

std::string progressBar(const PortStatus& s) {
    if (s.state != PortState::updating) return std::string(33, ' ');
    const double p = std::clamp(s.progress, 0.0, 1.0);
    const auto filled = static_cast<std::size_t>(p * 20 + 0.5);
    char tail[32];
    if (s.secondsLeft >= 0) {
        std::snprintf(tail, sizeof tail, "%3d%% %2d:%02d", static_cast<int>(p * 100), s.secondsLeft / 60,
                      s.secondsLeft % 60);
    } else {
        std::snprintf(tail, sizeof tail, "%3d%%      ", static_cast<int>(p * 100));
    }
    std::string bar(1, '[');
    bar.append(filled, '#').append(20 - filled, '.').append("] ").append(tail);
    return bar;
}

}  // namespace

StationView::StationView(std::FILE* out, bool liveTable, std::vector<std::string> ports)
    : out_(out), live_(liveTable), started_(tickCount()) {
    for (std::string& name : ports) {
        portWidth_ = std::max(portWidth_, name.size());
        PortStatus status;
        status.port = std::move(name);
        ports_.push_back(std::move(status));
    }
}

void StationView::set(std::size_t port, const PortStatus& status) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ports_[port] = status;
}

void StationView::event(std::size_t port, const std::string& text) {
    if (live_) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(out_, "%s %s: %s\n", isoTimeNow().c_str(), ports_[port].port.c_str(), text.c_str());
    std::fflush(out_);
}

void StationView::note(const std::string& text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    eraseLocked();
    std::fprintf(out_, "%s\n", text.c_str());
    if (live_) drawLocked();
    std::fflush(out_);
}

void StationView::tick() {
    if (!live_) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    eraseLocked();
    drawLocked();
    std::fflush(out_);
}

void StationView::finish(const std::string& summary) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (live_) {
        eraseLocked();
        drawLocked();
        linesDrawn_ = 0;  // the last table stays on the screen
    }
    std::fprintf(out_, "%s\n", summary.c_str());
    std::fflush(out_);
}

int StationView::passed() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const PortStatus& s : ports_) n += s.passed;
    return n;
}

int StationView::failed() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const PortStatus& s : ports_) n += s.failed;
    return n;
}

std::string StationView::totals() const {
    const int good = passed();
    const int bad = failed();
    const double hours = elapsedSince(started_) / 3600000.0;
    char text[160];
    std::snprintf(text, sizeof text, "%d passed, %d failed, yield %.1f%%, %.1f devices per hour", good, bad,
                  good + bad > 0 ? 100.0 * good / (good + bad) : 0.0, hours > 0 ? (good + bad) / hours : 0.0);
    return text;
}

void StationView::eraseLocked() {
    // Up to the first line of the table, and everything below it cleared.
    if (linesDrawn_ > 0) std::fprintf(out_, "\x1b[%zuA\r\x1b[J", linesDrawn_);
    linesDrawn_ = 0;
}

void StationView::drawLocked() {
    std::fprintf(out_, "%s %s %s %s %s %s\n", fit("PORT", portWidth_).c_str(), fit("STATE", 20).c_str(),
                 fit("CHIP", 18).c_str(), fit("PROGRESS", 33).c_str(), fit("LAST", 36).c_str(),
                 "PASSED FAILED");
    int good = 0;
    int bad = 0;
    for (const PortStatus& s : ports_) {
        const std::string state =
            s.state == PortState::updating && !s.detail.empty() ? s.detail : stateText(s.state);
        // A port that is unavailable, or done without a device, says why; otherwise the last
        // device's outcome.
        const bool why =
            s.state == PortState::unavailable || (s.state == PortState::finished && s.last.empty());
        const std::string last = fit(why ? s.detail : s.last, 36);
        const char* colour = why || s.last.empty() ? "" : (s.lastPassed ? kGreen : kRed);
        std::fprintf(out_, "%s %s %s %s %s%s%s %6d %6d\n", fit(s.port, portWidth_).c_str(),
                     fit(state, 20).c_str(), fit(s.chip, 18).c_str(), progressBar(s).c_str(), colour,
                     last.c_str(), *colour ? kPlain : "", s.passed, s.failed);
        good += s.passed;
        bad += s.failed;
    }
    const double hours = elapsedSince(started_) / 3600000.0;
    std::fprintf(out_, "Total: %s%d passed%s, %s%d failed%s, yield %.1f%%, %.1f devices per hour\n", kGreen,
                 good, kPlain, kRed, bad, kPlain, good + bad > 0 ? 100.0 * good / (good + bad) : 0.0,
                 hours > 0 ? (good + bad) / hours : 0.0);
    linesDrawn_ = ports_.size() + 2;
}

}  // namespace kelvo
