// The ledger's records while the station runs: each port on its own connection, what cannot be
// sent kept and sent once the ledger is back.
#include "station/ledger_records.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "station/ledger_store.h"

namespace kelvo {

namespace {

// A microsecond clock for the ledger's call times (a steady clock, read as 32 bits: a call takes
// far less than the hour it wraps in).
std::uint32_t microTick() {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

double elapsedMicroseconds(std::uint32_t start) {
    return static_cast<double>(microTick() - start);
}

}  // namespace

LedgerRecords::~LedgerRecords() {
    stopReconnecting();
}

void LedgerRecords::stopReconnecting() {
    {
        const std::lock_guard<std::mutex> lock(wakeMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (reconnector_.joinable()) reconnector_.join();
}

void LedgerRecords::note(const std::string& text) {
    if (config_.note) config_.note(text);
}

void LedgerRecords::refused(const std::string& text) {
    {
        const std::lock_guard<std::mutex> lock(keptMutex_);
        if (text == lastProblem_) return;  // said once, not for every port and every try
        lastProblem_ = text;
    }
    note(text);
}

std::size_t LedgerRecords::waiting() const {
    const std::lock_guard<std::mutex> lock(keptMutex_);
    return kept_.size();
}

void LedgerRecords::wentAway(const std::string& why) {
    bool first = false;
    {
        const std::lock_guard<std::mutex> lock(keptMutex_);
        first = !away_.exchange(true);
        if (first) {
            lastProblem_ = why;
            ++generation_;
        }
    }
    if (first) {
        note("The ledger cannot be reached (" + why +
             "): the records are kept in the log and sent when it is back; a port that needs a serial number "
             "waits for it.");
    }
    wake_.notify_all();
}

PgConnection* LedgerRecords::portConnection(std::size_t port) {
    if (port >= ports_.size()) return nullptr;
    PortConnection& own = *ports_[port];
    const unsigned generation = generation_.load();
    if (own.connection.isOpen() && own.generation == generation) return &own.connection;
    std::string error;
    if (!own.connection.open(config_.ledger, config_.limits, application_, error)) {
        wentAway(error);
        return nullptr;
    }
    own.generation = generation;
    return &own.connection;
}

void LedgerRecords::timed(std::size_t port, std::uint32_t startTick, bool kept) {
    if (port >= ports_.size()) return;
    PortConnection& own = *ports_[port];
    own.deviceMs += elapsedMicroseconds(startTick) / 1000.0;
    own.deviceKept = own.deviceKept || kept;
}

std::vector<double> LedgerRecords::deviceTimesMs() const {
    std::vector<double> all;
    for (const auto& port : ports_) all.insert(all.end(), port->devicesMs.begin(), port->devicesMs.end());
    return all;
}

std::string LedgerRecords::finish() {
    stopReconnecting();
    // One last try for what is kept (unless the ledger is away: it was tried a moment ago); what
    // is still not sent is in the log, and goes to the ledger when the station next starts with it.
    std::string unsent;
    if (waiting() > 0 && (away_.load() || !flush())) {
        unsent =
            std::to_string(waiting()) +
            " records could not be sent to the ledger: they are in the log, and go to the ledger when the "
            "station next starts with it.";
    }
    std::vector<double> times = deviceTimesMs();
    if (times.empty()) return unsent;
    std::sort(times.begin(), times.end());
    const auto at = [&](double share) {
        return times[static_cast<std::size_t>(share * static_cast<double>(times.size() - 1) + 0.5)];
    };
    char text[200];
    std::snprintf(
        text, sizeof text,
        "The ledger took %.1f ms per device (median; %.1f ms at the 99th percentile, %.1f ms at most) for "
        "its reservation, start and end.",
        at(0.5), at(0.99), times.back());
    return unsent.empty() ? std::string(text) : unsent + " " + text;
}

SerialReservation LedgerRecords::reserveSerial(std::size_t port, const std::string& portName,
                                               std::uint64_t device) {
    if (!config_.serials) return {SerialReservation::Status::usedUp, 0};
    if (away_.load()) return {SerialReservation::Status::unreachable, 0};
    const std::uint32_t start = microTick();
    PgConnection* connection = portConnection(port);
    if (connection == nullptr) return {SerialReservation::Status::unreachable, 0};
    std::optional<std::uint32_t> number;
    std::string error;
    const PgCall call =
        reserveLedgerSerial(*connection, config_.limits, config_.serials->first, config_.serials->last,
                            config_.station, device, portName, isoTimeNow(), number, error);
    timed(port, start, call != PgCall::done);
    if (call == PgCall::done) {
        if (!number) return {SerialReservation::Status::usedUp, 0};
        return {SerialReservation::Status::reserved, *number};
    }
    if (call == PgCall::broken) {
        wentAway(error);
    } else {
        refused("The ledger refused a serial number's reservation: " + error);
    }
    return {SerialReservation::Status::unreachable, 0};
}

void LedgerRecords::keep(const DeviceRow& row) {
    const std::lock_guard<std::mutex> lock(keptMutex_);
    const auto it = kept_.find(row.device);
    // An end kept already is never replaced by the device's start.
    if (it != kept_.end() && it->second.finished() && !row.finished()) return;
    kept_[row.device] = row;
}

void LedgerRecords::send(std::size_t port, const DeviceRow& row) {
    const std::uint32_t start = microTick();
    PgConnection* connection = away_.load() ? nullptr : portConnection(port);
    if (connection == nullptr) {
        keep(row);
        timed(port, start, true);
        return;
    }
    bool held = false;
    std::string error;
    const PgCall call = recordLedgerDevice(*connection, config_.limits, row, held, error);
    timed(port, start, call != PgCall::done);
    switch (call) {
        case PgCall::done:
            if (held) {
                note("The ledger holds serial number " + std::to_string(row.serial.value_or(0)) +
                     " for another device than device " + std::to_string(row.device) + ": check the ledger.");
            }
            break;
        case PgCall::broken:
            keep(row);
            wentAway(error);
            break;
        case PgCall::refused:
            note("The ledger refused the record of device " + std::to_string(row.device) +
                 " (it is in the log): " + error);
            break;
    }
}

bool LedgerRecords::recordStart(std::size_t port, const DeviceRow& row) {
    if (!log_.recordStart(port, row)) return false;
    send(port, row);
    return true;
}

bool LedgerRecords::recordEnd(std::size_t port, const DeviceRow& row) {
    if (!log_.recordEnd(port, row)) return false;
    send(port, row);
    if (port < ports_.size()) {
        // The device's time in the ledger, unless a call of it waited for a ledger that was away.
        PortConnection& own = *ports_[port];
        if (!own.deviceKept) own.devicesMs.push_back(own.deviceMs);
        own.deviceMs = 0;
        own.deviceKept = false;
    }
    return true;
}

bool LedgerRecords::flush() {
    const std::lock_guard<std::mutex> mainLock(mainMutex_);
    std::string error;
    if (!main_.isOpen()) {
        if (!main_.open(config_.ledger, config_.limits, application_, error)) return false;
        nameHeld_ = false;
    }
    if (!nameHeld_) {
        if (lockStationName(main_, config_.limits, config_.station, nameHeld_, error) != PgCall::done)
            return false;
        if (!nameHeld_) note("Another station named " + config_.station + " is connected to the ledger.");
    }
    std::map<std::uint64_t, DeviceRow> sending;
    {
        const std::lock_guard<std::mutex> lock(keptMutex_);
        sending = kept_;
    }
    std::size_t sent = 0;
    for (const auto& [device, row] : sending) {
        bool held = false;
        const PgCall call = recordLedgerDevice(main_, config_.limits, row, held, error);
        if (call == PgCall::broken) return false;
        if (call == PgCall::refused)
            note("The ledger refused the record of device " + std::to_string(device) + ": " + error);
        const std::lock_guard<std::mutex> lock(keptMutex_);
        // Sent as it stands now, unless the device's end came meanwhile.
        const auto it = kept_.find(device);
        if (it != kept_.end() && it->second.outcome == row.outcome) kept_.erase(it);
        ++sent;
    }
    const std::lock_guard<std::mutex> lock(keptMutex_);
    if (!kept_.empty()) return false;
    if (away_.exchange(false)) {
        note("The ledger can be reached again" +
             (sent > 0 ? ": " + std::to_string(sent) + " kept records sent." : std::string(".")));
    }
    return true;
}

void LedgerRecords::check() {
    const std::lock_guard<std::mutex> mainLock(mainMutex_);
    std::string error;
    PgResult result;
    if (main_.isOpen() && nameHeld_ &&
        main_.call("SELECT 1", {}, result, config_.limits.callMs, error) == PgCall::done)
        return;
    if (!main_.isOpen() && !main_.open(config_.ledger, config_.limits, application_, error)) {
        wentAway(error);
        return;
    }
    if (lockStationName(main_, config_.limits, config_.station, nameHeld_, error) != PgCall::done) {
        wentAway(error);
    } else if (!nameHeld_) {
        note("Another station named " + config_.station + " is connected to the ledger.");
    }
}

void LedgerRecords::reconnectLoop() {
    std::unique_lock<std::mutex> lock(wakeMutex_);
    std::uint32_t checked = tickCount();
    while (!stopping_) {
        wake_.wait_for(lock, std::chrono::milliseconds(config_.limits.retryMs));
        if (stopping_) break;
        const bool behind = away_.load() || waiting() > 0;
        // While all is well the main connection is checked now and then, so that a ledger that
        // went away is noticed (and the station's name kept) before a port needs it.
        if (!behind && elapsedSince(checked) < config_.limits.checkMs) continue;
        lock.unlock();
        if (behind) {
            flush();
        } else {
            check();
        }
        checked = tickCount();
        lock.lock();
    }
}

}  // namespace kelvo
