#pragma once

// The real kelvo-station and kelvo-sim fixtures for the station's tests.
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace kelvotest {

// Whether the station under test is the Windows build under Wine (KELVO_WINDOWS_STATION).
bool stationIsWindows();

// The command line that runs the station with `args`.
std::vector<std::string> stationCommand(const std::vector<std::string>& args);

// Runs the station with `args` to its end; Windows' CRLF line ends folded.
ProcessResult station(const std::vector<std::string>& args, int timeoutSeconds = 120);

// The records of a station's log, one JSON value per line (a line that is not JSON is discarded).
std::vector<nlohmann::json> records(const std::string& logPath);

// A fixture on a link of its own (the port's name stays when a device drops the line).
struct Fixture {
    Fixture(const TempDir& dir, const std::string& name, std::vector<std::string> options);
    // The dump of device `device` (from 1).
    std::string dump(int device) const;
    // What the fixture's device `device` went through, from its statistics file.
    struct DeviceStats {
        int resets = 0;
        int identifications = 0;
    };
    DeviceStats stats(int device) const;

    std::string link, dumps, statsPath;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<HostPort> port;
};

// A fixture whose device is back in its application 600 ms after its reset, and off the fixture
// (silent) for 3.6 s before the next is placed; `extra` options follow.
std::vector<std::string> fixtureOptions(std::vector<std::string> extra);

// Whether the target's memory holds the image with serial number `serial` at word `wordAddress`
// (S0 S1 00 00 S2 S3 00 00 in the file's byte order), and nothing but erased padding besides.
void expectImageWithSerial(const std::string& dump, const std::string& image, std::uint32_t serial,
                           std::uint32_t wordAddress = 0x1C40);

}  // namespace kelvotest
