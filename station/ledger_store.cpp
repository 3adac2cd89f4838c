#include "station/ledger_store.h"

#include <cstdio>

namespace kelvo {

namespace {

template <typename T>
std::optional<std::string> textOf(const std::optional<T>& value) {
    if (!value) return std::nullopt;
    return std::to_string(*value);
}

std::optional<std::string> textOrNull(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return text;
}

std::optional<std::string> secondsText(const std::optional<double>& seconds) {
    if (!seconds) return std::nullopt;
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", *seconds);  // the double exactly, as the log has it
    return std::string(text);
}

template <typename T>
std::optional<T> narrow(const std::optional<std::uint64_t>& value) {
    if (!value || *value > static_cast<std::uint64_t>(static_cast<T>(-1))) return std::nullopt;
    return static_cast<T>(*value);
}

// An instant as the log writes it: 2026-12-09T10:15:30.123Z.
constexpr const char* kIsoFormat = "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'";

std::string isoColumn(const std::string& column) {
    return "to_char(" + column + " AT TIME ZONE 'UTC', " + kIsoFormat + ")";
}

}  // namespace

PgCall reserveLedgerSerial(PgConnection& connection, const LedgerLimits& limits, std::uint32_t first,
                           std::uint32_t last, const std::string& station, std::uint64_t device,
                           const std::string& port, const std::string& time,
                           std::optional<std::uint32_t>& number, std::string& error) {
    PgResult result;
    const PgCall call = connection.call(
        "SELECT kelvo_reserve_serial($1, $2, $3, $4, $5, $6)",
        {std::to_string(first), std::to_string(last), station, std::to_string(device), port, time}, result,
        limits.callMs, error);
    number = call == PgCall::done ? narrow<std::uint32_t>(result.number(0, 0)) : std::nullopt;
    return call;
}

PgCall recordLedgerDevice(PgConnection& connection, const LedgerLimits& limits, const DeviceRow& row,
                          bool& held, std::string& error) {
    PgResult result;
    const PgCall call = connection.call(
        "SELECT kelvo_record_device($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, "
        "$17, "
        "$18, $19, $20, $21)",
        {row.station,
         std::to_string(row.device),
         row.port,
         textOf(row.serial),
         row.outcome,
         textOrNull(row.phase),
         textOrNull(row.message),
         textOrNull(row.chip),
         textOrNull(row.family),
         textOf(row.deviceId),
         textOf(row.revision),
         textOrNull(row.image),
         textOrNull(row.imageSha256),
         row.start,
         textOrNull(row.end),
         textOf(row.resends),
         textOf(row.rowsWritten),
         textOf(row.rowsVerified),
         secondsText(row.seconds),
         textOf(row.wordsNotSent),
         textOrNull(row.wordsNotSentAt)},
        result, limits.callMs, error);
    held = call == PgCall::done && result.text(0, 0) == "serial-held";
    return call;
}

PgCall lockStationName(PgConnection& connection, const LedgerLimits& limits, const std::string& station,
                       bool& got, std::string& error) {
    PgResult result;
    const PgCall call = connection.call("SELECT pg_try_advisory_lock(1262834774, hashtext($1))", {station},
                                        result, limits.callMs, error);
    got = call == PgCall::done && result.text(0, 0) == "t";
    return call;
}

PgCall readLedgerDevices(PgConnection& connection, const LedgerLimits& limits, const LedgerFilter& filter,
                         std::vector<DeviceRow>& rows, std::string& error) {
    PgResult result;
    const PgCall call = connection.call(
        "SELECT station, port, device, serial, outcome, phase, message, chip, family, device_id, revision, "
        "image, "
        "image_sha256, " +
            isoColumn("started_at") + ", " + isoColumn("ended_at") +
            ", resends, rows_written, rows_verified, seconds, words_not_sent, words_not_sent_at FROM kelvo_devices "
            "WHERE ($1::text IS NULL OR station = $1) AND ($2::timestamptz IS NULL OR started_at >= $2) "
            "AND ($3::timestamptz IS NULL OR started_at < $3) ORDER BY started_at, station, device",
        {textOrNull(filter.station), textOrNull(filter.since), textOrNull(filter.until)}, result,
        limits.callMs * 6, error);
    if (call != PgCall::done) return call;
    for (int r = 0; r < result.rows(); ++r) {
        DeviceRow row;
        row.station = result.text(r, 0);
        row.port = result.text(r, 1);
        row.device = result.number(r, 2).value_or(0);
        row.serial = narrow<std::uint32_t>(result.number(r, 3));
        row.outcome = result.text(r, 4);
        row.phase = result.text(r, 5);
        row.message = result.text(r, 6);
        row.chip = result.text(r, 7);
        row.family = result.text(r, 8);
        row.deviceId = narrow<std::uint32_t>(result.number(r, 9));
        row.revision = narrow<std::uint32_t>(result.number(r, 10));
        row.image = result.text(r, 11);
        row.imageSha256 = result.text(r, 12);
        row.start = result.text(r, 13);
        row.end = result.text(r, 14);
        row.resends = result.number(r, 15);
        row.rowsWritten = result.number(r, 16);
        row.rowsVerified = result.number(r, 17);
        if (!result.isNull(r, 18)) row.seconds = std::strtod(result.text(r, 18).c_str(), nullptr);
        row.wordsNotSent = result.number(r, 19);
        row.wordsNotSentAt = result.text(r, 20);
        rows.push_back(std::move(row));
    }
    return call;
}

}  // namespace kelvo
