// The report's summary for people.
#include "station/report.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <tuple>
#include <utility>

namespace kelvo {

namespace {

// The day and time as written, to the second, without the T and the zone: "2026-12-09 10:15:30".
std::string shortTime(const std::string& iso) {
    std::string text = iso.substr(0, 19);
    if (text.size() > 10) text[10] = ' ';
    return text;
}

// The tally of a group of devices: a station, a port, or all of them.
struct Tally {
    std::size_t devices = 0, passed = 0, failed = 0, interrupted = 0, unfinished = 0;
    std::string first, last;  // the first start and the last end (or start)

    void add(const DeviceRow& row) {
        ++devices;
        if (row.outcome == "passed") ++passed;
        if (row.outcome == "failed") ++failed;
        if (row.outcome == "interrupted") ++interrupted;
        if (row.outcome == "unfinished") ++unfinished;
        const std::string& start = row.start.empty() ? row.end : row.start;
        const std::string& end = row.end.empty() ? start : row.end;
        if (first.empty() || (!start.empty() && start < first)) first = start;
        if (end > last) last = end;
    }
    std::string yield() const {
        if (passed + failed == 0) return "-";
        char text[16];
        std::snprintf(text, sizeof text, "%.1f%%",
                      100.0 * static_cast<double>(passed) / static_cast<double>(passed + failed));
        return text;
    }
    // Devices that ended, per hour of the span from the first start to the last end.
    std::string perHour() const {
        const double hours = (recordSeconds(last) - recordSeconds(first)) / 3600.0;
        if (hours <= 0) return "-";
        char text[24];
        std::snprintf(text, sizeof text, "%.1f", static_cast<double>(passed + failed + interrupted) / hours);
        return text;
    }
};

std::string tallyLine(const std::string& name, std::size_t width, const Tally& t) {
    char text[512];
    std::snprintf(text, sizeof text, "  %-*s %7zu %7zu %7zu %11zu %7s %9s\n", static_cast<int>(width),
                  name.c_str(), t.devices, t.passed, t.failed, t.interrupted, t.yield().c_str(),
                  t.perHour().c_str());
    return text;
}

template <typename Key>
std::string tallyTable(const char* title, const std::map<Key, Tally>& tallies,
                       std::string (*name)(const Key&)) {
    std::size_t width = 7;
    for (const auto& [key, tally] : tallies) width = std::max(width, name(key).size());
    std::string text = std::string(title) + ":\n";
    char heading[256];
    std::snprintf(heading, sizeof heading, "  %-*s %7s %7s %7s %11s %7s %9s\n", static_cast<int>(width), "",
                  "DEVICES", "PASSED", "FAILED", "INTERRUPTED", "YIELD", "PER HOUR");
    text += heading;
    for (const auto& [key, tally] : tallies) text += tallyLine(name(key), width, tally);
    return text;
}

std::string stationName(const std::string& station) {
    return station.empty() ? "(unnamed)" : station;
}

std::string portName(const std::pair<std::string, std::string>& key) {
    return stationName(key.first) + " " + key.second;
}

}  // namespace

std::vector<DeviceRow> selectDevices(std::vector<DeviceRow> rows, const std::string& station,
                                     const std::string& since, const std::string& until) {
    const auto startOf = [](const DeviceRow& row) -> const std::string& {
        return row.start.empty() ? row.end : row.start;
    };
    std::erase_if(rows, [&](const DeviceRow& row) {
        return (!station.empty() && row.station != station) || (!since.empty() && startOf(row) < since) ||
               (!until.empty() && startOf(row) >= until);
    });
    std::stable_sort(rows.begin(), rows.end(), [&](const DeviceRow& a, const DeviceRow& b) {
        return std::tie(startOf(a), a.station, a.device) < std::tie(startOf(b), b.station, b.device);
    });
    return rows;
}

std::string serialRanges(std::vector<std::uint32_t> numbers) {
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::string text;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
        if (!text.empty()) text += ", ";
        text += std::to_string(numbers[i]);
        if (j > i) {
            text += '-';
            text += std::to_string(numbers[j]);
        }
        i = j + 1;
    }
    return text;
}

std::string reportSummary(const std::vector<DeviceRow>& rows) {
    Tally all;
    std::map<std::string, Tally> stations;
    std::map<std::pair<std::string, std::string>, Tally> ports;
    std::map<std::pair<std::string, std::string>, std::size_t> failures;
    std::vector<std::uint32_t> serials;
    std::map<std::uint32_t, std::size_t> serialUses;
    for (const DeviceRow& row : rows) {
        all.add(row);
        stations[row.station].add(row);
        ports[{row.station, row.port}].add(row);
        if (row.outcome == "failed") ++failures[{row.phase, row.message}];
        if (row.outcome == "passed" && row.serial) {
            serials.push_back(*row.serial);
            ++serialUses[*row.serial];
        }
    }
    char text[512];
    std::snprintf(
        text, sizeof text,
        "Devices: %zu (%zu passed, %zu failed, %zu interrupted, %zu unfinished); yield %s; %s devices per "
        "hour\n",
        all.devices, all.passed, all.failed, all.interrupted, all.unfinished, all.yield().c_str(),
        all.perHour().c_str());
    std::string out = text;
    if (all.devices == 0) return out;
    out += "From " + shortTime(all.first) + " to " + shortTime(all.last) + " (UTC)\n\n";
    out += tallyTable("Per station", stations, &stationName) + "\n";
    out += tallyTable("Per port", ports, &portName);

    std::vector<std::pair<std::size_t, std::pair<std::string, std::string>>> byCount;
    for (const auto& [key, count] : failures) byCount.push_back({count, key});
    std::stable_sort(byCount.begin(), byCount.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    out += "\nFailures by phase and message, most frequent first:\n";
    if (byCount.empty()) out += "  none\n";
    for (const auto& [count, key] : byCount) {
        std::snprintf(text, sizeof text, "  %5zu  %-8s ", count, key.first.c_str());
        out += text + key.second + "\n";
    }
    out += "\nSerial numbers used: " + (serials.empty() ? std::string("none") : serialRanges(serials)) + "\n";
    for (const auto& [number, uses] : serialUses) {
        if (uses > 1)
            out += "  Serial number " + std::to_string(number) + " is held by " + std::to_string(uses) +
                   " devices that passed.\n";
    }
    out += "\nUnfinished devices (no recorded outcome: update them again):\n";
    if (all.unfinished == 0) out += "  none\n";
    for (const DeviceRow& row : rows) {
        if (row.finished()) continue;
        out += "  " + stationName(row.station) + " device " + std::to_string(row.device) + " on " + row.port +
               ", started " + shortTime(row.start) +
               (row.serial ? ", serial number " + std::to_string(*row.serial) + " (never handed out again)"
                           : "") +
               "\n";
    }
    return out;
}

}  // namespace kelvo
