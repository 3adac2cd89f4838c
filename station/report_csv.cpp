// The report as CSV: one row per device, RFC 4180.
#include <cstdio>
#include <type_traits>

#include "station/report.h"

namespace kelvo {

namespace {

constexpr const char* kColumns[] = {
    "station", "port",    "device",    "serial",       "outcome",       "phase",        "message",
    "chip",    "family",  "device_id", "revision",     "image",         "image_sha256", "start",
    "end",     "seconds", "resends",   "rows_written", "rows_verified", "words_not_sent", "words_not_sent_at"};

// A field as RFC 4180 wants it: quoted, with its quotes doubled, when it holds a comma, a quote
// or a line end.
std::string field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

template <typename T>
std::string number(const std::optional<T>& value) {
    return value ? std::to_string(*value) : "";
}

}  // namespace

std::string reportCsv(const std::vector<DeviceRow>& rows) {
    std::string out;
    for (const char* column : kColumns) {
        if (!out.empty()) out += ',';
        out += column;
    }
    out += "\r\n";
    for (const DeviceRow& row : rows) {
        char seconds[32] = "";
        if (row.seconds) std::snprintf(seconds, sizeof seconds, "%.3f", *row.seconds);
        const std::string fields[] = {row.station,
                                      row.port,
                                      std::to_string(row.device),
                                      number(row.serial),
                                      row.outcome,
                                      row.phase,
                                      row.message,
                                      row.chip,
                                      row.family,
                                      number(row.deviceId),
                                      number(row.revision),
                                      row.image,
                                      row.imageSha256,
                                      row.start,
                                      row.end,
                                      seconds,
                                      number(row.resends),
                                      number(row.rowsWritten),
                                      number(row.rowsVerified),
                                      number(row.wordsNotSent),
                                      row.wordsNotSentAt};
        static_assert(std::extent_v<decltype(fields)> == std::size(kColumns));
        for (std::size_t i = 0; i < std::size(fields); ++i) {
            if (i > 0) out += ',';
            out += field(fields[i]);
        }
        out += "\r\n";
    }
    return out;
}

}  // namespace kelvo
