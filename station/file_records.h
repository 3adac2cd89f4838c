#pragma once

#include <optional>
#include <string>

#include "station/device_log.h"
#include "station/device_records.h"
#include "station/serial_numbers.h"

namespace kelvo {

// The station's records in its log file alone (the embedded default): the log is also the
// serial numbers' ledger, read once at start, after the log is locked for this station.
class FileRecords : public DeviceRecords {
public:
    // Opens, locks and reads the log; false with a sentence for the operator in `error`.
    // `withSerials`: the numbers are taken from the log's history (false: someone else hands
    // them out, and only the log is written).
    bool open(const RecordsConfig& config, bool withSerials, std::string& error);

    const RecordsAtStart& atStart() const override { return atStart_; }
    SerialReservation reserveSerial(std::size_t port, const std::string& portName,
                                    std::uint64_t device) override;
    bool recordStart(std::size_t port, const DeviceRow& row) override;
    bool recordEnd(std::size_t port, const DeviceRow& row) override;

    // Everything the log held when it was opened.
    const LogContents& contents() const { return contents_; }

private:
    DeviceLog log_;
    LogContents contents_;
    RecordsAtStart atStart_;
    std::optional<SerialNumbers> serials_;
};

}  // namespace kelvo
