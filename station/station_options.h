#pragma once

#include <string>

#include "station/station.h"

namespace kelvo {

// What the command line asks of a station, besides its configuration.
struct StationOptions {
    StationConfig config;
    std::string hexPath;
    std::string imageSha256;  // lower case; empty: any image
};

// What readStationOptions returns when the station is to go on.
inline constexpr int kOptionsComplete = -1;

// Reads kelvo-station's command line. A command line it cannot use is answered with a plain
// message and the usage on `out`, status 2; --help with the usage, status 0.
int readStationOptions(int argc, char** argv, StationOptions& options, std::FILE* out);

}  // namespace kelvo
