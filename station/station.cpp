#include "station/station.h"

#include <thread>

#include "common/time_limits.h"
#include "protocol/device_table.h"
#include "station/port_worker.h"
#include "station/station_platform.h"

namespace kelvo {

void StationState::end(const std::string& why) {
    if (!ending_.exchange(true)) view.note(why);
}

StationState::Admission StationState::admitDevice() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (ending() || (config.count > 0 && passed_ >= config.count)) return Admission::end;
    if (config.count > 0 && passed_ + inProgress_ >= config.count) return Admission::wait;
    ++inProgress_;
    return Admission::start;
}

void StationState::deviceEnded(bool passed) {
    bool reached = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        --inProgress_;
        if (passed) ++passed_;
        reached = config.count > 0 && passed_ >= config.count;
    }
    if (reached) end("The station has updated " + std::to_string(config.count) + " devices.");
}

void StationState::cancelDevice() {
    const std::lock_guard<std::mutex> lock(mutex_);
    --inProgress_;
}

void StationState::noteUnsentWords(DeviceFamily family, std::size_t count,
                                   const std::vector<std::string>& first) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!unsentNoted_.insert(family).second) return;
    }
    std::string text = "The image has " + std::to_string(count) + (count == 1 ? " word" : " words") +
                       " that no row of a " + familyName(family) +
                       " chip sends (Address out of range), at word address";
    for (std::size_t i = 0; i < first.size(); ++i) text += (i == 0 ? " " : ", ") + first[i];
    view.note(text + (count > first.size() ? ", ..." : "") + ": they are left out of every such device.");
}

namespace {

std::string heading(const StationConfig& config) {
    std::string text = "KelvoUp station: " + config.imageName + " (SHA-256 " +
                       config.imageSha256.substr(0, 16) + "...) on " + std::to_string(config.ports.size()) +
                       (config.ports.size() == 1 ? " port" : " ports");
    if (config.serials) {
        text += ", serial numbers " + std::to_string(config.serials->first) + "-" +
                std::to_string(config.serials->last);
    }
    return text + "; the log is " + config.logPath;
}

}  // namespace

int runStation(const StationConfig& config, HexImage image, StopRequest& interrupt, std::FILE* out) {
    // The log is the serial numbers' ledger: what it says is read before anything is handed out,
    // and a log that cannot be written stops the station before any device is touched.
    LogHistory history;
    if (!readLogHistory(config.logPath, history)) {
        std::fprintf(out, "The log %s cannot be read: the station does not start.\n", config.logPath.c_str());
        return 1;
    }
    DeviceLog log;
    std::string error;
    if (!log.open(config.logPath, error)) {
        std::fprintf(out, "The log %s cannot be written (%s): the station does not start.\n",
                     config.logPath.c_str(), error.c_str());
        return 1;
    }
    StationView view(out, liveTerminal(out), config.ports);
    view.note(heading(config));
    for (const unsigned line : history.unreadableLines) {
        view.note("The log's line " + std::to_string(line) +
                  " is not a record (a write cut short?): skipped.");
    }
    for (const UnfinishedDevice& d : history.unfinished) {
        view.note(
            "Device " + std::to_string(d.device) + " on " + d.port + " (started " + d.time +
            (d.serial ? ", serial number " + std::to_string(*d.serial) : std::string()) +
            ") has no recorded outcome: the station stopped during its update. Update that device again" +
            (d.serial ? "; its serial number is not handed out again." : "."));
    }

    std::optional<SerialNumbers> serials;
    if (config.serials) serials.emplace(config.serials->first, config.serials->last, history.serialsNotFree);
    SharedImage shared(std::move(image));
    // Stops every port: the user's interrupt, or a log that can no longer be written.
    StopRequest stopAll(&interrupt);
    StationState station(config, shared, log, serials ? &*serials : nullptr, view, stopAll,
                         history.lastDevice);

    std::vector<std::thread> threads;
    std::vector<std::unique_ptr<PortWorker>> workers;
    std::atomic<std::size_t> running{config.ports.size()};
    for (std::size_t i = 0; i < config.ports.size(); ++i) {
        workers.push_back(std::make_unique<PortWorker>(station, i));
        threads.emplace_back([&, i] {
            workers[i]->run();
            --running;
        });
    }
    // The ports stop on their own (each follows the stop request); this thread only redraws.
    while (running.load() > 0) {
        view.tick();
        sleepUninterruptedMs(kRedrawMs);
    }
    for (std::thread& thread : threads) thread.join();

    const bool interrupted = interrupt.requested();
    view.finish(std::string(interrupted ? "Interrupted. " : "") + "Devices: " + view.totals() + ".");
    if (interrupted) return 130;
    return view.failed() > 0 || station.problem() ? 1 : 0;
}

}  // namespace kelvo
