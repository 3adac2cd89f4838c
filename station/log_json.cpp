// A device's start and end records in the log, and the row they make together.
#include <cmath>
#include <sstream>

#include "station/device_log.h"

namespace kelvo {

namespace {

using nlohmann::json;

std::optional<std::uint64_t> numberOf(const json& record, const char* key) {
    const auto it = record.find(key);
    if (it == record.end() || !it->is_number_unsigned()) return std::nullopt;
    return it->get<std::uint64_t>();
}

std::optional<std::uint32_t> smallNumberOf(const json& record, const char* key) {
    const std::optional<std::uint64_t> n = numberOf(record, key);
    if (!n || *n > UINT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(*n);
}

std::string textOf(const json& record, const char* key) {
    const auto it = record.find(key);
    return it != record.end() && it->is_string() ? it->get<std::string>() : "";
}

template <typename T>
json orNull(const std::optional<T>& value) {
    return value ? json(*value) : json(nullptr);
}

json textOrNull(const std::string& text) {
    return text.empty() ? json(nullptr) : json(text);
}

}  // namespace

bool isOutcome(const std::string& text) {
    for (const char* outcome : kOutcomes) {
        if (text == outcome) return true;
    }
    return false;
}

json startRecord(const DeviceRow& row) {
    json record = {{"event", "start"},
                   {"time", row.start},
                   {"port", row.port},
                   {"device", row.device},
                   {"chip", textOrNull(row.chip)},
                   {"device_id", orNull(row.deviceId)},
                   {"revision", orNull(row.revision)},
                   {"family", textOrNull(row.family)},
                   {"image", row.image},
                   {"image_sha256", row.imageSha256},
                   {"serial", orNull(row.serial)}};
    if (!row.station.empty()) record["station"] = row.station;
    return record;
}

json endRecord(const DeviceRow& row) {
    json record = {{"event", "end"},
                   {"time", row.end},
                   {"port", row.port},
                   {"device", row.device},
                   {"serial", orNull(row.serial)},
                   {"outcome", row.outcome}};
    if (!row.station.empty()) record["station"] = row.station;
    if (row.outcome != "passed") {
        record["phase"] = row.phase;
        record["message"] = row.message;
    }
    record["rows_written"] = orNull(row.rowsWritten);
    record["resends"] = orNull(row.resends);
    record["rows_verified"] = orNull(row.rowsVerified);
    record["seconds"] = orNull(row.seconds);
    if (row.wordsNotSent) {
        record["words_not_sent"] = *row.wordsNotSent;
        json addresses = json::array();
        std::istringstream words(row.wordsNotSentAt);
        for (std::string address; words >> address;) addresses.push_back(address);
        record["words_not_sent_at"] = addresses;
    }
    return record;
}

bool recordKey(const json& record, std::string& station, std::uint64_t& device) {
    if (!record.is_object()) return false;
    const std::optional<std::uint64_t> number = numberOf(record, "device");
    const std::string event = textOf(record, "event");
    if (!number || (event != "start" && event != "end")) return false;
    station = textOf(record, "station");
    device = *number;
    return true;
}

bool applyRecord(const json& record, DeviceRow& row) {
    std::uint64_t device = 0;
    if (!recordKey(record, row.station, device)) return false;
    row.device = device;
    row.port = textOf(record, "port");
    row.serial = smallNumberOf(record, "serial");
    if (textOf(record, "event") == "start") {
        row.start = textOf(record, "time");
        row.chip = textOf(record, "chip");
        row.family = textOf(record, "family");
        row.deviceId = smallNumberOf(record, "device_id");
        row.revision = smallNumberOf(record, "revision");
        row.image = textOf(record, "image");
        row.imageSha256 = textOf(record, "image_sha256");
        return true;
    }
    const std::string outcome = textOf(record, "outcome");
    if (!isOutcome(outcome) || outcome == "unfinished") return false;
    row.outcome = outcome;
    row.end = textOf(record, "time");
    row.phase = textOf(record, "phase");
    row.message = textOf(record, "message");
    row.rowsWritten = numberOf(record, "rows_written");
    row.resends = numberOf(record, "resends");
    row.rowsVerified = numberOf(record, "rows_verified");
    const auto seconds = record.find("seconds");
    if (seconds != record.end() && seconds->is_number() && std::isfinite(seconds->get<double>())) {
        row.seconds = seconds->get<double>();
    }
    row.wordsNotSent = numberOf(record, "words_not_sent");
    row.wordsNotSentAt.clear();
    const auto addresses = record.find("words_not_sent_at");
    if (addresses != record.end() && addresses->is_array()) {
        for (const json& address : *addresses) {
            if (!address.is_string()) continue;
            if (!row.wordsNotSentAt.empty()) row.wordsNotSentAt += ' ';
            row.wordsNotSentAt += address.get<std::string>();
        }
    }
    return true;
}

}  // namespace kelvo
