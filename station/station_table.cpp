#include "station/station_table.h"

#include <algorithm>
#include <cstdio>

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
    if (width == 0) return "";
    if (text.size() > width) text = text.substr(0, width - 1) + "~";
    return text + std::string(width - text.size(), ' ');
}

// The widths of the columns; 0 leaves a column out.
struct Layout {
    std::size_t port, state, chip, bar, last;
    bool counts;
    std::size_t width() const {
        std::size_t w = port + 1 + state;
        for (const std::size_t column : {chip, last}) w += column > 0 ? column + 1 : 0;
        w += 1 + (bar > 0 ? bar + 3 : 0) + kProgressTail;
        return w + (counts ? 1 + 13 : 0);
    }
    static constexpr std::size_t kProgressTail = 10;  // " 45%  1:23"
};

Layout layoutFor(std::size_t portWidth, std::size_t columns) {
    constexpr std::size_t kLastWidest = 36;
    constexpr std::size_t kLastNarrowest = 14;
    Layout l{portWidth, 20, 18, 20, 0, true};
    const std::size_t room = columns > 1 ? columns - 1 : 0;
    // Narrower and narrower until the last outcome (what the operator acts on) has room: each step
    // gives up the least needed first; the last outcome takes what is left.
    const auto steps = {+[](Layout& x) { x.chip = 0; },
                        +[](Layout& x) { x.bar = 10; },
                        +[](Layout& x) { x.state = 12; },
                        +[](Layout& x) { x.port = std::min<std::size_t>(x.port, 12); },
                        +[](Layout& x) { x.bar = 0; },
                        +[](Layout& x) { x.counts = false; },
                        +[](Layout& x) { x.port = std::min<std::size_t>(x.port, 8); }};
    auto fits = [&] { return l.width() + 1 + kLastNarrowest <= room; };
    for (const auto& step : steps) {
        if (fits()) break;
        step(l);
    }
    if (fits()) l.last = std::min(kLastWidest, room - l.width() - 1);
    return l;
}

std::string progressText(const PortStatus& s, std::size_t bar) {
    const std::size_t width = (bar > 0 ? bar + 3 : 0) + Layout::kProgressTail;
    if (s.state != PortState::updating) return std::string(width, ' ');
    const double p = std::clamp(s.progress, 0.0, 1.0);
    char tail[32];
    if (s.secondsLeft >= 0) {
        std::snprintf(tail, sizeof tail, "%3d%% %2d:%02d", static_cast<int>(p * 100),
                      s.secondsLeft / 60 % 100, s.secondsLeft % 60);
    } else {
        std::snprintf(tail, sizeof tail, "%3d%%      ", static_cast<int>(p * 100));
    }
    if (bar == 0) return fit(tail, width);
    const auto filled = static_cast<std::size_t>(p * static_cast<double>(bar) + 0.5);
    std::string text(1, '[');
    text.append(filled, '#').append(bar - filled, '.').append("] ").append(tail);
    return fit(text, width);
}

// The line cut to `room` columns, its colour codes kept only when nothing was cut.
std::string fitLine(const std::string& plain, const std::string& coloured, std::size_t room) {
    return plain.size() <= room ? coloured : plain.substr(0, room);
}

}  // namespace

std::string totalsText(int passed, int failed, int interrupted, double hours) {
    char text[200];
    const int decided = passed + failed;
    std::snprintf(
        text, sizeof text, "%d passed, %d failed%s, yield %.1f%%, %.1f devices per hour", passed, failed,
        interrupted > 0 ? (", " + std::to_string(interrupted) + " interrupted").c_str() : "",
        decided > 0 ? 100.0 * passed / decided : 0.0, hours > 0 ? (decided + interrupted) / hours : 0.0);
    return text;
}

std::vector<std::string> tableLines(const std::vector<PortStatus>& ports, std::size_t columns, double hours) {
    std::size_t portWidth = 12;
    for (const PortStatus& s : ports) portWidth = std::max(portWidth, s.port.size());
    const Layout l = layoutFor(portWidth, columns);
    const std::size_t room = columns > 1 ? columns - 1 : 0;
    auto cells = [&](const std::string& port, const std::string& state, const std::string& chip,
                     const std::string& progress, const std::string& last, const std::string& counts) {
        std::string line = fit(port, l.port);
        line.append(" ").append(fit(state, l.state));
        if (l.chip > 0) line.append(" ").append(fit(chip, l.chip));
        line.append(" ").append(progress);
        if (l.last > 0) line.append(" ").append(last);
        if (l.counts) line.append(" ").append(counts);
        return line;
    };
    const std::size_t progressWidth = (l.bar > 0 ? l.bar + 3 : 0) + Layout::kProgressTail;
    std::vector<std::string> lines;
    const std::string heading =
        cells("PORT", "STATE", "CHIP", fit("PROGRESS", progressWidth), fit("LAST", l.last), "PASSED FAILED");
    lines.push_back(fitLine(heading, heading, room));
    int good = 0;
    int bad = 0;
    int stopped = 0;
    for (const PortStatus& s : ports) {
        const std::string state =
            s.state == PortState::updating && !s.detail.empty() ? s.detail : stateText(s.state);
        // A port that is unavailable, or done without a device, says why; otherwise the last
        // device's outcome.
        const bool why =
            s.state == PortState::unavailable || (s.state == PortState::finished && s.last.empty());
        const std::string last = fit(why ? s.detail : s.last, l.last);
        const char* colour = why || s.last.empty() ? "" : (s.lastPassed ? kGreen : kRed);
        char counts[32];
        std::snprintf(counts, sizeof counts, "%6d %6d", s.passed, s.failed);
        const std::string progress = progressText(s, l.bar);
        const std::string plain = cells(s.port, state, s.chip, progress, last, counts);
        const std::string coloured =
            cells(s.port, state, s.chip, progress, colour + last + (*colour ? kPlain : ""), counts);
        lines.push_back(fitLine(plain, coloured, room));
        good += s.passed;
        bad += s.failed;
        stopped += s.interrupted;
    }
    const std::string totals = "Total: " + totalsText(good, bad, stopped, hours);
    std::string coloured = totals;
    const std::string passedText = std::to_string(good) + " passed";
    const std::string failedText = std::to_string(bad) + " failed";
    coloured.replace(7, passedText.size(), kGreen + passedText + kPlain);
    const std::size_t at = coloured.find(failedText, 7 + passedText.size() + std::string(kGreen).size());
    if (at != std::string::npos) coloured.replace(at, failedText.size(), kRed + failedText + kPlain);
    lines.push_back(fitLine(totals, coloured, room));
    return lines;
}

}  // namespace kelvo
