#pragma once

#include <cstdio>
#include <memory>

#include "cli/option_scanner.h"

namespace kelvo {

// Exit statuses of a run.
inline constexpr int kExitUpdated = 0;  // written and verified
inline constexpr int kExitFailed = 1;   // any failure after the command line was accepted
inline constexpr int kExitUsage = 2;    // the command line was not usable

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using HexFile = std::unique_ptr<std::FILE, FileCloser>;

// What scanCommandLine returns when the run is to go on.
inline constexpr int kScanComplete = -1;

// Reads the command line ("i:b:p:e:" scanned, only -i and file names accepted): opens each file
// named (a later one replaces an earlier one) and takes the interface name of the last -i.
// Reports an error with its message (and the usage text where it goes with it) and returns the
// exit status; returns kScanComplete when the run can go on.
int scanCommandLine(OptionScanner& scanner, const char*& interfaceName, HexFile& hexFile);

// The whole update: scans the command line, checks the HEX file, opens the port, contacts and
// identifies the target, loads and sends the image, verifies it, resets the target and cleans
// up. Returns the exit status.
int runUpdate(char* const* argv);

}  // namespace kelvo
