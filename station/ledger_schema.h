#pragma once

#include <string>

#include "common/time_limits.h"
#include "station/pg_connection.h"

namespace kelvo {

// The ledger's tables, created on first use and upgraded later: the version they are at is a row
// of their own, and each version's changes are made once, in one transaction, by whichever
// station comes first (the others wait for it).
inline constexpr int kLedgerSchemaVersion = 2;

// Brings the ledger's tables to kLedgerSchemaVersion. False with the reason in `error` when that
// cannot be done, or the ledger is newer than this station knows.
bool prepareLedgerSchema(PgConnection& connection, const LedgerLimits& limits, std::string& error);

}  // namespace kelvo
