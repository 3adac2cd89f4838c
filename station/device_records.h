#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/time_limits.h"
#include "station/device_log.h"
#include "station/device_row.h"

namespace kelvo {

// The station's record of its devices and the serial numbers they take. The port workers write
// to it and never know where it goes: the log file (the embedded default) or the factory's
// ledger, a database shared by every station (which also writes the station's own log).
// Every call is safe from every port at once; a call on one port never waits for another
// port's call to the database.

// The serial numbers a station takes from, FIRST to LAST.
struct SerialRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

// What the records say when a station starts.
struct RecordsAtStart {
    std::uint64_t lastDevice = 0;              // the station's highest device number so far
    std::vector<UnfinishedDevice> unfinished;  // devices whose outcome was never recorded
    std::vector<std::string> notes;            // lines of the log that are not records, and the like
};

struct SerialReservation {
    enum class Status { reserved, usedUp, unreachable };
    Status status = Status::usedUp;
    std::uint32_t number = 0;
};

class DeviceRecords {
public:
    virtual ~DeviceRecords() = default;

    virtual const RecordsAtStart& atStart() const = 0;
    // The lowest free serial number of the range for the device `device` on port `port`, on
    // record as reserved before this returns: its device may carry it from then on. `unreachable`
    // while the ledger cannot be reached: the port tries again (reachable() says when).
    virtual SerialReservation reserveSerial(std::size_t port, const std::string& portName,
                                            std::uint64_t device) = 0;
    // Reserve a number only for a device whose update starts right away: its end gives it back.
    // The device's start (its outcome "unfinished") and its end. A device that ends without
    // passing gives its serial number back; one that passed keeps it. False when the station's
    // own record could not be written: the station must stop.
    virtual bool recordStart(std::size_t port, const DeviceRow& row) = 0;
    virtual bool recordEnd(std::size_t port, const DeviceRow& row) = 0;
    // Whether the records reach everything they write to (false while the ledger is away).
    virtual bool reachable() const { return true; }
    // Where the records go besides the log, for the operator ("" for the log alone).
    virtual std::string where() const { return ""; }
    // Ends the records once every port has stopped (the ledger gets what was kept, if it can be
    // reached); what to tell the operator of them ("" when there is nothing to say).
    virtual std::string finish() { return ""; }
};

struct RecordsConfig {
    std::string logPath;
    std::string station;  // the station's name in every record
    std::optional<SerialRange> serials;
    std::size_t ports = 1;
    std::string ledger;  // a libpq connection string; empty: the log alone
    LedgerLimits limits = kLedgerLimits;
    // Where the records say what the operator should know while the station runs (the ledger
    // went away, came back); called from any thread.
    std::function<void(const std::string&)> note;
};

// The log alone: the serial numbers' ledger is the log, read at start. Null with the reason in
// `error` when the log cannot be read or written.
std::unique_ptr<DeviceRecords> openLogRecords(const RecordsConfig& config, std::string& error);

// The factory's ledger and the station's own log. Null with the reason in `error` when the
// ledger cannot be reached or used (no such database, a refused login) or the log cannot be.
std::unique_ptr<DeviceRecords> openLedgerRecords(const RecordsConfig& config, std::string& error);

}  // namespace kelvo
