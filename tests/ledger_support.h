#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/device_records.h"
#include "tests/test_support.h"

namespace kelvotest {

// Time limits short enough that a lost server is given up on in a few seconds.
inline constexpr kelvo::LedgerLimits kShortLedgerLimits{3000, 3000, 30000, 200, 500, 1, 1, 2};

// A station's records on a ledger in a test: its log in a folder of its own (unless one is named),
// and the notes it made for the operator.
struct LedgerStation {
    static std::unique_ptr<LedgerStation> open(const std::string& ledger, const std::string& name,
                                               std::string& error, kelvo::SerialRange serials = {1, 1000},
                                               std::size_t ports = 1, const std::string& logPath = "");
    std::vector<std::string> notes() const;
    bool noted(const std::string& part) const;

    TempDir dir;
    mutable std::mutex mutex;
    std::vector<std::string> said;
    // Last, so it goes first: its reconnecting thread notes into `said` until it is gone.
    std::unique_ptr<kelvo::DeviceRecords> records;
};

// A device's row as a station records its start, and the same device ended with `outcome`.
kelvo::DeviceRow deviceRow(const std::string& station, std::uint64_t device, std::uint32_t serial);
kelvo::DeviceRow ended(kelvo::DeviceRow row, const std::string& outcome);

// Waits up to `ms` for `condition`.
template <typename Condition>
bool waitUntil(Condition condition, int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

}  // namespace kelvotest
