#include "station/station_view.h"

#include <algorithm>

#include "common/time_limits.h"
#include "station/device_log.h"
#include "station/station_platform.h"
#include "station/station_table.h"

namespace kelvo {

namespace {

// Notes kept to be drawn again after a resize.
constexpr std::size_t kNotesKept = 40;
// The width assumed when the terminal does not tell its own.
constexpr int kDefaultColumns = 132;

int columnsOf(std::FILE* out) {
    const int columns = terminalColumns(out);
    return columns > 0 ? columns : kDefaultColumns;
}

}  // namespace

StationView::StationView(std::FILE* out, bool liveTable, std::vector<std::string> ports)
    : out_(out), live_(liveTable), started_(tickCount()) {
    for (std::string& name : ports) {
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
    notes_.push_back(text);
    if (notes_.size() > kNotesKept) notes_.erase(notes_.begin());
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

int StationView::sum(int PortStatus::*count) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const PortStatus& s : ports_) n += s.*count;
    return n;
}

double StationView::hours() const {
    return elapsedSince(started_) / 3600000.0;
}

std::string StationView::totals() const {
    return totalsText(passed(), failed(), interrupted(), hours());
}

void StationView::eraseLocked() {
    const int columns = live_ ? columnsOf(out_) : 0;
    if (linesDrawn_ > 0 && columns != columns_) {
        // The terminal was resized: the lines drawn at the old width may have been wrapped again,
        // so the screen is drawn anew, the latest notes first.
        std::fprintf(out_, "\x1b[H\x1b[2J");
        for (const std::string& note : notes_) std::fprintf(out_, "%s\n", note.c_str());
    } else if (linesDrawn_ > 0) {
        // Up to the first line of the table, and everything below it cleared.
        std::fprintf(out_, "\x1b[%zuA\r\x1b[J", linesDrawn_);
    }
    linesDrawn_ = 0;
}

void StationView::drawLocked() {
    columns_ = columnsOf(out_);
    const std::vector<std::string> lines = tableLines(ports_, static_cast<std::size_t>(columns_), hours());
    for (const std::string& line : lines) std::fprintf(out_, "%s\n", line.c_str());
    linesDrawn_ = lines.size();
}

}  // namespace kelvo
