#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

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

enum class LogOpen { opened, notRegular, locked, failed };

// Opens the log at `path` for appending, creating it, and locks it exclusively for as long as
// `file` stays open (flock on POSIX, LockFileEx on Windows), so that a second station on the same
// log is refused. Only a regular file is a log: a FIFO, a device or a folder is `notRegular`,
// and opening one never blocks. `lastLineCut` tells whether the file's last byte is not a line
// end. On `failed`, `error` says why.
LogOpen openLockedLog(const std::string& path, std::FILE*& file, bool& lastLineCut, std::string& error);

// The calendar time of `seconds` in UTC.
void utcTime(std::time_t seconds, std::tm& utc);

// Waits up to `ms` for the network socket `socket` (as libpq gives it) to have something to read;
// false when the time ran out.
bool waitForSocket(int socket, std::uint32_t ms);

// The computer's name, as the network knows it ("" when it has none).
std::string hostName();

}  // namespace kelvo
