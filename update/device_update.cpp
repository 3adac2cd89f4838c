#include "update/device_update.h"

#include "common/time_limits.h"
#include "image/programming_pass.h"
#include "verify/read_back.h"

namespace kelvo {

const char* phaseName(UpdatePhase phase) {
    switch (phase) {
        case UpdatePhase::contact: return "contact";
        case UpdatePhase::identify: return "identify";
        case UpdatePhase::prepare: return "prepare";
        case UpdatePhase::write: return "write";
        case UpdatePhase::verify: return "verify";
        case UpdatePhase::reset: return "reset";
    }
    return "contact";
}

ImageSource::Status FileImageSource::prepare(DeviceFamily family, std::shared_ptr<const PreparedRows>& rows) {
    if (image_ == nullptr) return Status::noImage;
    rows = prepareRows(*image_, family);
    return rows ? Status::ready : Status::noMemory;
}

namespace {

// Passes the update's events on to the front end and counts what the result reports.
class Tally : public EventSink {
public:
    Tally(EventSink* front, UpdateResult& result) : front_(front), result_(result) {}
    void onEvent(const UpdateEvent& event) override {
        if (event.kind == EventKind::rowWritten && event.bytes > 0) ++result_.rowsWritten;
        if (event.kind == EventKind::frameResent) ++result_.resends;
        if (event.kind == EventKind::rowChecked && event.bytes > 0) ++checked_;
        if (front_ != nullptr) front_->onEvent(event);
    }
    // Every row read back so far was equal, but for the last one when the verification failed.
    void verified(bool passed) { result_.rowsVerified = passed || checked_ == 0 ? checked_ : checked_ - 1; }

private:
    EventSink* front_;
    UpdateResult& result_;
    std::size_t checked_ = 0;
};

class UpdateSteps {
public:
    UpdateSteps(PortHandle& port, ImageSource& image)
        : port_(port), image_(image), tally_(port.context().events, result_) {
        RunContext counted = port.context();
        counted.events = &tally_;
        front_ = port.useContext(counted);
    }
    ~UpdateSteps() { port_.useContext(front_); }
    UpdateSteps(const UpdateSteps&) = delete;
    UpdateSteps& operator=(const UpdateSteps&) = delete;

    UpdateResult run() {
        port_.beginUpdate();
        run_();
        return result_;
    }

private:
    // The outcome of an update that cannot go on: a stop request ends it as interrupted, unless
    // the port itself failed first.
    void endHere(UpdatePhase phase) {
        result_.phase = phase;
        result_.outcome = !port_.broken() && port_.context().stopRequested() ? UpdateOutcome::interrupted
                                                                             : UpdateOutcome::failed;
    }
    void emit(const UpdateEvent& event) { port_.emit(event); }

    void run_() {
        emit({.kind = EventKind::contacting});
        if (!waitForTarget(port_)) {
            if (!port_.lost()) emit({.kind = EventKind::targetSilent});
            return endHere(UpdatePhase::contact);
        }

        result_.identity = readDeviceIdentity(port_);
        const DeviceIdentity& id = result_.identity;
        if (port_.lost()) return endHere(UpdatePhase::identify);
        if (id.family == DeviceFamily::none) {
            emit({.kind = EventKind::chipUnknown, .deviceId = id.deviceId, .revision = id.revision});
            return endHere(UpdatePhase::identify);
        }
        emit({.kind = EventKind::chipIdentified,
              .deviceId = id.deviceId,
              .revision = id.revision,
              .family = static_cast<int>(id.family),
              .text = id.entry->name});

        std::shared_ptr<const PreparedRows> prepared;
        switch (image_.prepare(id.family, prepared)) {
            case ImageSource::Status::ready: break;
            case ImageSource::Status::noMemory:
                emit({.kind = EventKind::noMemory});
                return endHere(UpdatePhase::prepare);
            case ImageSource::Status::noImage:
                result_.phase = UpdatePhase::prepare;
                result_.outcome = UpdateOutcome::noImage;
                return;
        }
        emit({.kind = EventKind::placing});
        for (const std::uint32_t address : prepared->placement.outOfRange) {
            emit({.kind = EventKind::wordOutOfRange, .address = address});
        }
        RowSet rows(prepared->table);
        if (prepared->placement.placed == 0 || !image_.personalise(rows)) {
            if (prepared->placement.placed == 0) emit({.kind = EventKind::nothingToWrite});
            sendReset(port_);
            return endHere(UpdatePhase::prepare);
        }

        const PassResult pass = runProgrammingPass(port_, rows);
        if (pass != PassResult::sent) {
            if (pass == PassResult::rejected) sendReset(port_);
            return endHere(UpdatePhase::write);
        }

        const ReadBackPlan plan = planReadBack(id.family, rows);
        emit({.kind = EventKind::validating, .count = plan.rows, .bytes = plan.bytes});
        sleepMs(port_.limits().pauseMs, port_.context().stop);
        if (port_.lost()) return endHere(UpdatePhase::verify);
        const bool passed = verify(port_, id.family, rows);
        tally_.verified(passed);
        if (port_.lost()) return endHere(UpdatePhase::verify);
        if (passed) {
            // The image is on the chip: a stop request from here on changes nothing, and a line
            // lost while the reset goes out contradicts nothing.
            port_.settle();
            emit({.kind = EventKind::passed});
        } else {
            emit({.kind = EventKind::validationFailed});
        }
        sendReset(port_);
        result_.phase = passed ? UpdatePhase::reset : UpdatePhase::verify;
        result_.outcome = passed ? UpdateOutcome::passed : UpdateOutcome::failed;
    }

    PortHandle& port_;
    ImageSource& image_;
    UpdateResult result_;
    Tally tally_;
    RunContext front_;
};

}  // namespace

UpdateResult runDeviceUpdate(PortHandle& port, ImageSource& image) {
    UpdateSteps steps(port, image);
    return steps.run();
}

}  // namespace kelvo
