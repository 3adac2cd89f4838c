#include "station/device_recorder.h"

#include <algorithm>
#include <cstdio>

#include "common/time_limits.h"
#include "protocol/device_table.h"
#include "station/device_log.h"
#include "update/update_text.h"

namespace kelvo {

void DeviceRecorder::onEvent(const UpdateEvent& event) {
    switch (event.kind) {
        case EventKind::contacting: phase("contacting"); break;
        case EventKind::identifying: phase("identifying"); break;
        case EventKind::chipIdentified:
            status_.chip = event.text;
            recordStart(event);
            break;
        case EventKind::programming:
            writeBytes_ = event.bytes;
            started_ = tickCount();
            phase("writing");
            break;
        case EventKind::rowWritten:
        case EventKind::rowChecked: progress(event.bytes); break;
        case EventKind::validating:
            readBytes_ = event.bytes;
            phase("verifying");
            break;
        case EventKind::wordOutOfRange:
            if (unsent_.size() < kUnsentListed) unsent_.push_back(event.address);
            ++unsentCount_;
            break;
        default: break;
    }
    if (reportsFailure(event.kind)) {
        if (!message_.empty()) message_ += ' ';
        message_ += eventLine(event);
    }
}

void DeviceRecorder::recordStart(const UpdateEvent& id) {
    if (startRecorded_) return;
    startRecorded_ = true;
    const StationConfig& config = station_.config;
    row_.station = config.station;
    row_.port = status_.port;
    row_.device = device_;
    row_.serial = serial_;
    row_.start = isoTimeNow();
    row_.chip = id.text != nullptr ? id.text : "";
    row_.family = id.text != nullptr ? familyName(static_cast<DeviceFamily>(id.family)) : "";
    row_.deviceId = id.deviceId;
    row_.revision = id.revision;
    row_.image = config.imageName;
    row_.imageSha256 = config.imageSha256;
    // The serial number is on record before any row can carry it to the device.
    if (!station_.records.recordStart(index_, row_)) recordsFailed();
}

void DeviceRecorder::recordEnd(const UpdateResult& result, const std::string& extraProblem, double seconds) {
    recordStart({.kind = EventKind::chipIdentified,
                 .deviceId = result.identity.deviceId,
                 .revision = result.identity.revision});
    row_.outcome = result.outcome == UpdateOutcome::passed        ? "passed"
                   : result.outcome == UpdateOutcome::interrupted ? "interrupted"
                                                                  : "failed";
    row_.end = isoTimeNow();
    if (result.outcome != UpdateOutcome::passed) {
        row_.phase = phaseName(result.phase);
        row_.message = message(result, extraProblem);
    }
    if (unsentCount_ > 0) {
        row_.wordsNotSent = unsentCount_;
        for (const std::string& address : unsentAddresses()) {
            if (!row_.wordsNotSentAt.empty()) row_.wordsNotSentAt += ' ';
            row_.wordsNotSentAt += address;
        }
    }
    row_.rowsWritten = result.rowsWritten;
    row_.resends = result.resends;
    row_.rowsVerified = result.rowsVerified;
    row_.seconds = static_cast<double>(static_cast<long long>(seconds * 1000 + 0.5)) / 1000;
    if (!station_.records.recordEnd(index_, row_)) recordsFailed();
}

std::vector<std::string> DeviceRecorder::unsentAddresses() const {
    std::vector<std::string> addresses;
    for (const std::uint32_t address : unsent_) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%x", address);
        addresses.emplace_back(text);
    }
    return addresses;
}

std::string DeviceRecorder::message(const UpdateResult& result, const std::string& extraProblem) const {
    if (result.outcome == UpdateOutcome::interrupted) return asOneLine(kMsgInterrupted);
    if (!extraProblem.empty()) return extraProblem;
    return message_;
}

void DeviceRecorder::phase(const char* name) {
    status_.detail = name;
    station_.view.set(index_, status_);
}

void DeviceRecorder::progress(std::size_t bytes) {
    done_ += bytes;
    // Until the read-back is known, as much is expected back as goes out.
    const double total = static_cast<double>(writeBytes_ + (readBytes_ > 0 ? readBytes_ : writeBytes_));
    status_.progress = total > 0 ? std::min(1.0, static_cast<double>(done_) / total) : 0;
    const double elapsed = elapsedSince(started_) / 1000.0;
    status_.secondsLeft =
        status_.progress > 0.02 ? static_cast<int>(elapsed * (1 - status_.progress) / status_.progress) : -1;
    station_.view.set(index_, status_);
}

void DeviceRecorder::recordsFailed() {
    station_.markProblem();
    station_.end("The log " + station_.config.logPath + " can no longer be written: the station stops.");
    station_.interrupt.request();
    stop_.request();
}
}  // namespace kelvo
