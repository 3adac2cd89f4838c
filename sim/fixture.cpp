#include "sim/fixture.h"

#include <unistd.h>

#include <chrono>
#include <thread>

namespace kelvosim {

Fixture::Fixture(SimOptions base, FixtureOptions fixture)
    : base_(std::move(base)), fixture_(std::move(fixture)) {}

bool Fixture::openPty() {
    BootloaderTarget first(base_);
    if (!first.openPty()) return false;
    line_ = first.releaseLine();
    return relink();
}

bool Fixture::relink() {
    if (linkPath_.empty()) return true;
    // A new link is made beside the old one and renamed over it, so that the name never goes away.
    const std::string fresh = linkPath_ + ".new";
    unlink(fresh.c_str());
    return symlink(line_.path.c_str(), fresh.c_str()) == 0 && rename(fresh.c_str(), linkPath_.c_str()) == 0;
}

void Fixture::stop() {
    stopping_ = true;
    if (current_ != nullptr) current_->stop();
}

bool Fixture::run() {
    for (int number = 1; number <= fixture_.devices && !stopping_; ++number) {
        const auto own = fixture_.perDevice.find(number);
        BootloaderTarget device(own != fixture_.perDevice.end() ? own->second : base_);
        if (line_.master < 0) {
            // The last device took the port with it: the next one brings it back.
            if (!device.openPty()) return false;
            line_ = device.releaseLine();
            relink();
        }
        device.adoptLine(line_);
        current_ = &device;
        // Its update, then the restart into its bootloader, which a host may take for a new device.
        if (device.run() && !stopping_) device.runFor(fixture_.bootWindowMs);
        if (!stopping_ && !device.hungUp()) device.stayQuiet(fixture_.applicationMs);
        current_ = nullptr;
        if (device.hungUp()) {
            line_ = {};
            // The port's name goes with the line, as a USB adapter's does: the pty's number may be
            // handed to another program's pty meanwhile, which a host must not open as this port.
            if (!linkPath_.empty()) unlink(linkPath_.c_str());
            if (!stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(fixture_.applicationMs));
        } else {
            line_ = device.releaseLine();
        }
        const std::vector<std::uint8_t> bytes = device.received();
        received_.insert(received_.end(), bytes.begin(), bytes.end());
        done_.push_back({device.memory().toHex(), device.resets(), device.identifications(),
                         device.framesAcknowledged(), bytes.size(), device.bytesSent()});
    }
    if (line_.master >= 0) {
        close(line_.master);
        close(line_.slave);
        line_ = {};
    }
    if (!linkPath_.empty()) unlink(linkPath_.c_str());
    return !stopping_;
}

}  // namespace kelvosim
