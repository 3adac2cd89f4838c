#include "station/station.h"

#include <memory>
#include <mutex>
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

std::string heading(const StationConfig& config, const DeviceRecords& records) {
    std::string text = "KelvoUp station: " + config.imageName + " (SHA-256 " +
                       config.imageSha256.substr(0, 16) + "...) on " + std::to_string(config.ports.size()) +
                       (config.ports.size() == 1 ? " port" : " ports");
    if (config.serials) {
        text += ", serial numbers " + std::to_string(config.serials->first) + "-" +
                std::to_string(config.serials->last);
    }
    text += "; the log is " + config.logPath;
    const std::string ledger = records.where();
    return ledger.empty() ? text : text + "; the ledger is " + ledger + ", this station " + config.station;
}

// What the records say while the station runs, above the table; before the table is there, kept
// for it.
class Notes {
public:
    void say(const std::string& text) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (view_ != nullptr) {
            view_->note(text);
        } else {
            early_.push_back(text);
        }
    }
    void showOn(StationView* view) {
        const std::lock_guard<std::mutex> lock(mutex_);
        view_ = view;
        for (const std::string& text : early_) {
            if (view_ != nullptr) view_->note(text);
        }
        early_.clear();
    }

private:
    std::mutex mutex_;
    StationView* view_ = nullptr;
    std::vector<std::string> early_;
};

std::unique_ptr<DeviceRecords> openRecords(const StationConfig& config, Notes& notes, std::string& error) {
    RecordsConfig records;
    records.logPath = config.logPath;
    records.station = config.station;
    if (config.serials) records.serials = SerialRange{config.serials->first, config.serials->last};
    records.ports = config.ports.size();
    records.ledger = config.ledger;
    records.note = [&notes](const std::string& text) { notes.say(text); };
    return config.ledger.empty() ? openLogRecords(records, error) : openLedgerRecords(records, error);
}

}  // namespace

int runStation(const StationConfig& config, HexImage image, StopRequest& interrupt, std::FILE* out) {
    // The records say what serial numbers are free and where device numbers go on before anything
    // is handed out; records that cannot be written stop the station before any port is opened.
    Notes notes;
    std::string error;
    const std::unique_ptr<DeviceRecords> records = openRecords(config, notes, error);
    if (!records) {
        std::fprintf(out, "%s\n", error.c_str());
        return 1;
    }
    StationView view(out, liveTerminal(out), config.ports);
    view.note(heading(config, *records));
    const RecordsAtStart& history = records->atStart();
    for (const std::string& note : history.notes) view.note(note);
    for (const UnfinishedDevice& d : history.unfinished) {
        view.note(
            "Device " + std::to_string(d.device) + " on " + d.port + " (started " + d.time +
            (d.serial ? ", serial number " + std::to_string(*d.serial) : std::string()) +
            ") has no recorded outcome: the station stopped during its update. Update that device again" +
            (d.serial ? "; its serial number is not handed out again." : "."));
    }
    notes.showOn(&view);

    SharedImage shared(std::move(image));
    // Stops every port: the user's interrupt, or records that can no longer be written.
    StopRequest stopAll(&interrupt);
    StationState station(config, shared, *records, view, stopAll, history.lastDevice);

    // Every worker is made before any thread starts, and each thread is given its own worker: a
    // thread that read the list while it grew could get a worker that is not its own, or none.
    std::vector<std::unique_ptr<PortWorker>> workers;
    for (std::size_t i = 0; i < config.ports.size(); ++i)
        workers.push_back(std::make_unique<PortWorker>(station, i));
    std::atomic<std::size_t> running{workers.size()};
    std::vector<std::thread> threads;
    for (const std::unique_ptr<PortWorker>& worker : workers) {
        threads.emplace_back([w = worker.get(), &running] {
            w->run();
            --running;
        });
    }
    // The ports stop on their own (each follows the stop request); this thread only redraws.
    while (running.load() > 0) {
        view.tick();
        sleepUninterruptedMs(kRedrawMs);
    }
    for (std::thread& thread : threads) thread.join();
    const std::string last = records->finish();
    if (!last.empty()) view.note(last);
    notes.showOn(nullptr);

    const bool interrupted = interrupt.requested();
    view.finish(std::string(interrupted ? "Interrupted. " : "") + "Devices: " + view.totals() + ".");
    if (interrupted) return 130;
    return view.failed() > 0 || station.problem() ? 1 : 0;
}

}  // namespace kelvo
