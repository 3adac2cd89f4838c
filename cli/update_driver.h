#pragma once

#include <cstdio>

#include "cli/console.h"
#include "cli/option_scanner.h"
#include "common/stop_request.h"
#include "common/time_limits.h"
#include "update/image_file.h"

namespace kelvo {

// Exit statuses of a run.
inline constexpr int kExitUpdated = 0;        // written and verified
inline constexpr int kExitFailed = 1;         // any failure after the command line was accepted
inline constexpr int kExitUsage = 2;          // the command line was not usable
inline constexpr int kExitInterrupted = 130;  // as a shell reports a run ended by SIGINT

// What scanCommandLine returns when the run is to go on.
inline constexpr int kScanComplete = -1;

// Reads the command line ("i:b:p:e:" scanned, only -i and file names accepted): opens each file
// named (a later one replaces an earlier one) and takes the interface name of the last -i.
// Reports an error on `console` with its message (and the usage text where it goes with it) and
// returns the exit status; returns kScanComplete when the run can go on. Opening a FIFO waits for
// its writer; `stop` ends that wait.
int scanCommandLine(OptionScanner& scanner, const char*& interfaceName, HexFile& hexFile, Console& console,
                    const StopRequest& stop);

// The whole run of kelvoup: scans the command line, reads and checks the HEX file, opens the port,
// updates the device and reports every step on `out` in the tool's words. `stop` is the run's stop
// request (Ctrl-C). Returns the exit status.
int runUpdate(char* const* argv, std::FILE* out, StopRequest& stop,
              const TimeLimits& limits = kDefaultLimits);

}  // namespace kelvo
