#pragma once

#include <cstdio>

namespace kelvo {

// What the station needs of the platform beyond the standard library; one file per platform.

// Writes what the C library holds of `file` through to the disk, so that a record survives a
// crash or a power cut. False when it cannot.
bool syncToDisk(std::FILE* file);

// Whether `file` is a terminal that can show a live table (escape codes for colour and for moving
// the cursor); on Windows this switches the console's virtual-terminal mode on.
bool liveTerminal(std::FILE* file);

// How many columns the terminal `file` shows; 0 when it cannot tell.
int terminalColumns(std::FILE* file);

}  // namespace kelvo
