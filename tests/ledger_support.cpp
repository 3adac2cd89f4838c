#include "tests/ledger_support.h"

namespace kelvotest {

std::unique_ptr<LedgerStation> LedgerStation::open(const std::string& ledger, const std::string& name,
                                                   std::string& error, kelvo::SerialRange serials,
                                                   std::size_t ports, const std::string& logPath) {
    auto station = std::make_unique<LedgerStation>();
    kelvo::RecordsConfig config;
    config.logPath = logPath.empty() ? station->dir.path("log.jsonl") : logPath;
    config.station = name;
    config.serials = serials;
    config.ports = ports;
    config.ledger = ledger;
    config.limits = kShortLedgerLimits;
    LedgerStation* self = station.get();
    config.note = [self](const std::string& text) {
        const std::lock_guard<std::mutex> lock(self->mutex);
        self->said.push_back(text);
    };
    station->records = kelvo::openLedgerRecords(config, error);
    if (!station->records) return nullptr;
    return station;
}

std::vector<std::string> LedgerStation::notes() const {
    const std::lock_guard<std::mutex> lock(mutex);
    return said;
}

bool LedgerStation::noted(const std::string& part) const {
    for (const std::string& note : notes()) {
        if (note.find(part) != std::string::npos) return true;
    }
    return false;
}

kelvo::DeviceRow deviceRow(const std::string& station, std::uint64_t device, std::uint32_t serial) {
    kelvo::DeviceRow row;
    row.station = station;
    row.port = "/dev/ttyS0";
    row.device = device;
    row.serial = serial;
    row.chip = "dsPIC30F2010";
    row.family = "dsPIC30F";
    row.deviceId = 0x40;
    row.revision = 3;
    row.image = "fw.hex";
    row.imageSha256 = std::string(64, 'a');
    row.start = kelvo::isoTimeNow();
    return row;
}

kelvo::DeviceRow ended(kelvo::DeviceRow row, const std::string& outcome) {
    row.outcome = outcome;
    row.end = kelvo::isoTimeNow();
    if (outcome != "passed") {
        row.phase = "write";
        row.message = "ATTENTION: Device did not accept block # 112, \"quoted\", and more.";
    }
    row.rowsWritten = 2;
    row.resends = 1;
    row.rowsVerified = outcome == "passed" ? 2 : 0;
    row.seconds = 1.25;
    if (outcome == "passed") {
        row.wordsNotSent = 9;
        row.wordsNotSentAt = "0xf8000e 0xf80010";
    }
    return row;
}

}  // namespace kelvotest
