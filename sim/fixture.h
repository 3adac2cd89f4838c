#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/bootloader_target.h"

namespace kelvosim {

// A production fixture on one port: devices placed one after another. Each device's bootloader
// serves the host until its reset; after the reset it restarts into its bootloader, which answers
// for a while (the boot window); then it runs its application and answers nothing until it is
// taken off and the next device is placed. A device that drops the line (pulled out with the USB
// adapter it carries) leaves a port that comes back, under the same link, with the next device.
struct FixtureOptions {
    int devices = 1;
    int bootWindowMs = 1500;
    int applicationMs = 4500;
    std::map<int, SimOptions> perDevice;  // by device number from 1; the others use the base options
};

class Fixture {
public:
    Fixture(SimOptions base, FixtureOptions fixture);
    bool openPty();
    const std::string& slavePath() const { return line_.path; }
    // Keeps `path` a symbolic link to the current port (made anew when a device drops the line).
    void linkAs(std::string path) { linkPath_ = std::move(path); }

    // Presents every device in turn; false when stopped before the last one.
    bool run();
    void stop();

    // Per device, in order: what it holds at the end, and how its sessions went.
    struct Device {
        std::string hex;  // its memory as Intel HEX
        int resets = 0;   // updates that ended with the host's reset byte
        int identifications = 0;
        int frames = 0;  // write frames acknowledged
        std::size_t received = 0;
        std::size_t sent = 0;
    };
    const std::vector<Device>& devices() const { return done_; }
    // Every byte received from the host, over all devices.
    const std::vector<std::uint8_t>& received() const { return received_; }

private:
    bool relink();

    SimOptions base_;
    FixtureOptions fixture_;
    BootloaderTarget::Line line_;
    std::string linkPath_;
    BootloaderTarget* current_ = nullptr;
    bool stopping_ = false;
    std::vector<Device> done_;
    std::vector<std::uint8_t> received_;
};

}  // namespace kelvosim
