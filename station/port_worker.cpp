#include "station/port_worker.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "common/time_limits.h"
#include "protocol/bootloader.h"
#include "protocol/device_table.h"
#include "station/device_recorder.h"
#include "update/update_text.h"

namespace kelvo {

namespace {

// What a port's row says after its line was lost while it waited for a device.
constexpr const char* kLineLost = "the line was lost";

// What the console tool says of an open failure.
const char* openProblem(OpenResult result) {
    switch (result) {
        case OpenResult::noSuchPort: return "no such port";
        case OpenResult::noPermission: return "permission denied";
        case OpenResult::notReady: return "not a serial port";
        case OpenResult::cannotConfigure: return "the line settings were refused";
        default: return "in use by another program";
    }
}

}  // namespace

PortWorker::PortWorker(StationState& station, std::size_t index)
    : station_(station), index_(index), name_(station.config.ports[index]), stop_(&station.interrupt) {
    status_.port = name_;
}

void PortWorker::show(PortState state, std::string detail) {
    status_.state = state;
    status_.detail = std::move(detail);
    if (state != PortState::updating) {
        status_.progress = 0;
        status_.secondsLeft = -1;
    }
    station_.view.set(index_, status_);
}

void PortWorker::say(const std::string& text) {
    station_.view.event(index_, text);
}

bool PortWorker::stopping() const {
    return station_.ending();
}

void PortWorker::pause(std::uint32_t ms) {
    const std::uint32_t start = tickCount();
    while (!stopping() && elapsedSince(start) < ms)
        sleepMs(std::min<std::uint32_t>(50, ms), &station_.interrupt);
}

bool PortWorker::openNow() {
    const OpenResult opened = openPort(port_, name_.c_str(), "9600", {&kDefaultLimits, &stop_, nullptr});
    if (opened == OpenResult::opened) {
        everOpened_ = true;
        return true;
    }
    const std::string why =
        std::string("cannot be opened: ") +
        (opened == OpenResult::networkFailure ? port_.openProblem() : openProblem(opened));
    if (status_.state != PortState::unavailable || status_.detail != why) say("the port " + why);
    show(PortState::unavailable, why);
    return false;
}

bool PortWorker::waitForDevice() {
    // Not said again when the line was lost last time and has only been opened again since: a
    // device server whose serial device is gone takes every connection and closes it at once.
    const bool lostBefore = status_.state == PortState::unavailable && status_.detail == kLineLost;
    show(PortState::waiting);
    if (!lostBefore) say("waiting for a device");
    while (!stopping()) {
        if (ping(port_)) return true;
        if (port_.broken()) {
            closePort(port_);
            if (!lostBefore) say("the line was lost; the port is opened again");
            show(PortState::unavailable, kLineLost);
            pause(kReopenMs);
            return false;
        }
        sleepMs(100, &station_.interrupt);  // a reply that is not the bootloader's: try again soon
    }
    return false;
}

void PortWorker::waitForRemoval() {
    show(PortState::removing);
    say("the device may be removed");
    std::uint32_t lastAnswer = tickCount();
    while (!stopping() && elapsedSince(lastAnswer) < kRemovalSilenceMs) {
        if (ping(port_)) {
            lastAnswer = tickCount();
            sleepMs(200, &station_.interrupt);
        }
        if (port_.broken()) {
            closePort(port_);  // unplugged with its adapter: that counts as removed
            return;
        }
    }
}

// The device's serial number, reserved in the records before its update starts. While the ledger
// cannot be reached the port waits for it, and its row says so.
std::optional<std::uint32_t> PortWorker::reserveSerial(std::uint64_t device, bool& usedUp) {
    usedUp = false;
    bool said = false;
    while (!stopping()) {
        const SerialReservation r = station_.records.reserveSerial(index_, name_, device);
        if (r.status == SerialReservation::Status::reserved) return r.number;
        if (r.status == SerialReservation::Status::usedUp) {
            usedUp = true;
            return std::nullopt;
        }
        if (!said) {
            show(PortState::waiting, "the ledger cannot be reached");
            say("device " + std::to_string(device) +
                " waits for its serial number: the ledger cannot be reached");
            said = true;
        }
        pause(kLedgerWaitMs);
    }
    return std::nullopt;
}

void PortWorker::updateDevice() {
    const std::uint64_t device = station_.nextDeviceNumber();
    std::optional<std::uint32_t> serial;
    if (station_.config.serials) {
        bool usedUp = false;
        serial = reserveSerial(device, usedUp);
        if (!serial) {
            station_.cancelDevice();
            if (usedUp) {
                char why[96];
                std::snprintf(why, sizeof why, "the serial numbers %u-%u are used up",
                              station_.config.serials->first, station_.config.serials->last);
                station_.end(std::string("The station takes no more devices: ") + why + ".");
            }
            return;
        }
    }
    status_.chip.clear();
    show(PortState::updating, "contacting");
    say("device " + std::to_string(device) + " found" +
        (serial ? ", serial number " + std::to_string(*serial) : std::string()));

    const std::uint32_t start = tickCount();
    DeviceRecorder recorder(station_, status_, index_, device, serial, stop_);
    const RunContext update{&kDefaultLimits, &stop_, &recorder};
    const RunContext before = port_.useContext(update);
    DeviceImage image(station_.image, serial,
                      station_.config.serials ? station_.config.serials->wordAddress : 0);
    const UpdateResult result = runDeviceUpdate(port_, image);
    port_.useContext(before);
    const double seconds = elapsedSince(start) / 1000.0;
    recorder.recordEnd(result, image.problem(), seconds);

    if (recorder.unsentCount() > 0) {
        station_.noteUnsentWords(result.identity.family, recorder.unsentCount(), recorder.unsentAddresses());
    }
    const bool passed = result.outcome == UpdateOutcome::passed;
    const bool interrupted = result.outcome == UpdateOutcome::interrupted;
    station_.deviceEnded(passed);
    (passed ? status_.passed : interrupted ? status_.interrupted : status_.failed) += 1;
    status_.lastPassed = passed;
    const std::string number = serial ? " #" + std::to_string(*serial) : "";
    const std::string message = recorder.message(result, image.problem());
    status_.last = passed ? "passed" + number : "failed" + number + ": " + message;
    char took[32];
    std::snprintf(took, sizeof took, " (%.1f s)", seconds);
    say("device " + std::to_string(device) + " " +
        (passed        ? "passed"
         : interrupted ? "interrupted"
                       : "failed") +
        number + took + (passed ? "" : ": " + message));
    if (port_.broken()) closePort(port_);
}

void PortWorker::run() {
    while (!stopping()) {
        if (!port_.valid() && !openNow()) {
            if (station_.config.once && !everOpened_) {
                // Under --once a port that cannot be opened is not waited for.
                station_.markProblem();
                show(PortState::finished, status_.detail);
                return;
            }
            pause(kReopenMs);
            continue;
        }
        if (!waitForDevice()) continue;
        StationState::Admission admission = station_.admitDevice();
        if (admission == StationState::Admission::wait) {
            show(PortState::waiting, "the devices in progress may reach the count");
            while ((admission = station_.admitDevice()) == StationState::Admission::wait) pause(200);
        }
        if (admission == StationState::Admission::end) break;
        updateDevice();
        if (station_.config.once) break;
        if (port_.valid()) waitForRemoval();
    }
    closePort(port_);
    if (!everOpened_) station_.markProblem();  // a port never served makes the run a failure
    if (status_.state != PortState::finished) {
        show(PortState::finished, station_.interrupt.requested() ? "stopped" : "done");
    }
}

}  // namespace kelvo
