#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/time_limits.h"
#include "station/device_row.h"
#include "station/pg_connection.h"

namespace kelvo {

// What a station asks of the ledger, one call each, on the connection it is given.

// Claims the lowest free serial number FIRST to LAST for the device (committed before this
// returns); nullopt in `number` when the range is used up.
PgCall reserveLedgerSerial(PgConnection& connection, const LedgerLimits& limits, std::uint32_t first,
                           std::uint32_t last, const std::string& station, std::uint64_t device,
                           const std::string& port, const std::string& time,
                           std::optional<std::uint32_t>& number, std::string& error);

// Records a device's start or end (its row as it stands); sent again, it changes nothing. The
// serial number follows the outcome. `held` is set when the number turned out to be another
// device's.
PgCall recordLedgerDevice(PgConnection& connection, const LedgerLimits& limits, const DeviceRow& row,
                          bool& held, std::string& error);

// Makes this connection the one station of its name on the ledger while it lasts; `got` is false
// when another connection holds the name.
PgCall lockStationName(PgConnection& connection, const LedgerLimits& limits, const std::string& station,
                       bool& got, std::string& error);

// Which devices match a report's filter (empty: any).
struct LedgerFilter {
    std::string station;
    std::string since;  // ISO 8601 instants, UTC; a device counts by its start
    std::string until;
};

// The devices of the ledger, in the order of their start.
PgCall readLedgerDevices(PgConnection& connection, const LedgerLimits& limits, const LedgerFilter& filter,
                         std::vector<DeviceRow>& rows, std::string& error);

}  // namespace kelvo
