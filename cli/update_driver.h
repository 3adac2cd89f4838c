#pragma once

namespace kelvo {

// Exit statuses of a run.
inline constexpr int kExitUpdated = 0;  // written and verified
inline constexpr int kExitFailed = 1;   // any failure after the command line was accepted
inline constexpr int kExitUsage = 2;    // the command line was not usable

// The whole update: scans the command line, checks the HEX file, opens the port, contacts and
// identifies the target, loads and sends the image, verifies it, resets the target and cleans
// up. Returns the exit status.
int runUpdate(char* const* argv);

}  // namespace kelvo
