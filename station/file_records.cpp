#include "station/file_records.h"

namespace kelvo {

bool FileRecords::open(const RecordsConfig& config, bool withSerials, std::string& error) {
    // Locked before it is read, so that two stations never both take what it says as theirs.
    const std::string& path = config.logPath;
    std::string why;
    switch (log_.openLocked(path, why)) {
        case LogOpen::opened: break;
        case LogOpen::notRegular:
            error = "The log " + path + " is not a regular file: the station does not start.";
            return false;
        case LogOpen::locked:
            error = "The log " + path + " is in use by another station: the station does not start.";
            return false;
        default:
            error = "The log " + path + " cannot be written (" + why + "): the station does not start.";
            return false;
    }
    if (!readLog(path, contents_, why)) {
        error = "The log " + path + " cannot be read (" + why + "): the station does not start.";
        return false;
    }
    LogHistory history = historyOf(contents_);
    atStart_.lastDevice = history.lastDevice;
    atStart_.unfinished = std::move(history.unfinished);
    atStart_.notes = std::move(history.problems);
    if (contents_.lastLineCut) {
        atStart_.notes.push_back(
            "The log's last line has no line end (a write cut short?): the next record "
            "starts on a new line.");
    }
    if (withSerials && config.serials) {
        serials_.emplace(config.serials->first, config.serials->last, std::move(history.serialsNotFree));
    }
    return true;
}

SerialReservation FileRecords::reserveSerial(std::size_t, const std::string&, std::uint64_t) {
    const std::optional<std::uint32_t> number = serials_ ? serials_->take() : std::nullopt;
    if (!number) return {SerialReservation::Status::usedUp, 0};
    // On record with the device's start, which comes before any row can carry it to the device.
    return {SerialReservation::Status::reserved, *number};
}

bool FileRecords::recordStart(std::size_t, const DeviceRow& row) {
    return log_.append(startRecord(row));
}

bool FileRecords::recordEnd(std::size_t, const DeviceRow& row) {
    const bool written = log_.append(endRecord(row));
    // A number is given back only once the log says why: a number whose end is not on record
    // stays taken.
    if (written && serials_ && row.serial && row.outcome != "passed") serials_->giveBack(*row.serial);
    return written;
}

std::unique_ptr<DeviceRecords> openLogRecords(const RecordsConfig& config, std::string& error) {
    auto records = std::make_unique<FileRecords>();
    if (!records->open(config, true, error)) return nullptr;
    return records;
}

}  // namespace kelvo
