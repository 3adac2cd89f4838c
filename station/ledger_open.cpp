// A station joining the ledger: connected, the tables ready, its name its own, and what its log
// holds and the ledger does not sent.
#include <algorithm>
#include <map>

#include "station/ledger_records.h"
#include "station/ledger_schema.h"
#include "station/ledger_store.h"

namespace kelvo {

bool LedgerRecords::open(const RecordsConfig& config, std::string& error) {
    config_ = config;
    application_ = "kelvo-station " + config.station;
    if (!log_.open(config, false, error)) return false;
    std::string why;
    if (!main_.open(config.ledger, config.limits, application_, why)) {
        error = "The ledger cannot be used (" + why + "): the station does not start.";
        return false;
    }
    where_ = main_.describe();
    if (!prepareLedgerSchema(main_, config.limits, why)) {
        error = "The ledger's tables cannot be prepared (" + why + "): the station does not start.";
        return false;
    }
    if (lockStationName(main_, config.limits, config.station, nameHeld_, why) != PgCall::done) {
        error = "The ledger cannot be used (" + why + "): the station does not start.";
        return false;
    }
    if (!nameHeld_) {
        error =
            "Another station named " + config.station +
            " is connected to the ledger: the station does not start (give each station a name of its own "
            "with --station).";
        return false;
    }
    if (!sendLogToLedger(why)) {
        error = "The ledger cannot be used (" + why + "): the station does not start.";
        return false;
    }
    // Each port's connection, made now: a server that takes no more connections is found before
    // any device, not by a port in the middle of the job.
    for (std::size_t i = 0; i < config.ports; ++i) {
        ports_.push_back(std::make_unique<PortConnection>());
        if (!ports_.back()->connection.open(config.ledger, config.limits, application_, why) ||
            !warmUp(ports_.back()->connection, why)) {
            error =
                "The ledger refused a connection for each port (" + why + "): the station does not start.";
            return false;
        }
    }
    reconnector_ = std::thread([this] { reconnectLoop(); });
    return true;
}

// The server prepares a function's statements on a connection's first call of it: made now, with
// nothing left behind (an empty range, a record rolled back), so that the first device of each port
// does not wait for it.
bool LedgerRecords::warmUp(PgConnection& connection, std::string& error) {
    std::optional<std::uint32_t> none;
    bool held = false;
    DeviceRow row;
    row.station = config_.station;
    row.port = "warm-up";
    row.start = isoTimeNow();
    PgResult result;
    return reserveLedgerSerial(connection, config_.limits, 1, 0, config_.station, 0, "warm-up", row.start,
                               none, error) == PgCall::done &&
           connection.call("BEGIN", {}, result, config_.limits.callMs, error) == PgCall::done &&
           recordLedgerDevice(connection, config_.limits, row, held, error) == PgCall::done &&
           connection.call("ROLLBACK", {}, result, config_.limits.callMs, error) == PgCall::done;
}

// The log is the station's own record: a device it holds that the ledger does not (or holds as
// unfinished while the log has its end) was recorded while the ledger was away and the station
// stopped before it was back. Sent now, once; then the station's history is the ledger's.
bool LedgerRecords::sendLogToLedger(std::string& error) {
    const LedgerFilter mine{config_.station, "", ""};
    std::vector<DeviceRow> rows;
    if (readLedgerDevices(main_, config_.limits, mine, rows, error) != PgCall::done) return false;
    std::map<std::uint64_t, bool> finished;
    for (const DeviceRow& row : rows) finished[row.device] = row.finished();
    std::size_t sent = 0;
    for (DeviceRow row : log_.contents().devices) {
        // Records of logs written before the station had a name are its own.
        if (!row.station.empty() && row.station != config_.station) continue;
        row.station = config_.station;
        const auto it = finished.find(row.device);
        if (it != finished.end() && (it->second || !row.finished())) continue;
        if (row.start.empty()) row.start = row.end;  // its start line was lost
        if (row.start.empty()) continue;
        bool held = false;
        if (recordLedgerDevice(main_, config_.limits, row, held, error) != PgCall::done) return false;
        if (held) {
            atStart_.notes.push_back("Serial number " + std::to_string(row.serial.value_or(0)) +
                                     " of device " + std::to_string(row.device) +
                                     " in the log is another device's in the ledger.");
        }
        ++sent;
    }
    if (sent > 0) {
        atStart_.notes.push_back(std::to_string(sent) +
                                 " records of the log that the ledger did not have were sent to it.");
        rows.clear();
        if (readLedgerDevices(main_, config_.limits, mine, rows, error) != PgCall::done) return false;
    }
    atStart_.lastDevice = log_.atStart().lastDevice;
    for (const DeviceRow& row : rows) {
        atStart_.lastDevice = std::max(atStart_.lastDevice, row.device);
        if (!row.finished()) atStart_.unfinished.push_back({row.device, row.port, row.start, row.serial});
    }
    const std::vector<std::string>& logNotes = log_.atStart().notes;
    atStart_.notes.insert(atStart_.notes.begin(), logNotes.begin(), logNotes.end());
    return true;
}

std::unique_ptr<DeviceRecords> openLedgerRecords(const RecordsConfig& config, std::string& error) {
    auto records = std::make_unique<LedgerRecords>();
    if (!records->open(config, error)) return nullptr;
    return records;
}

}  // namespace kelvo
