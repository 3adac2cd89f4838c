#pragma once

namespace kelvo {

// What the POSIX backend asks of the terminal driver beyond termios. The pieces that only Linux
// has sit behind these functions, each with a fallback, so that the backend builds on macOS and
// the BSDs as well.

// Whether the port is the slave end of a pseudo-terminal (which cannot hold parity or a
// character size, and whose tcdrain waits for the other end).
bool isPseudoTerminal(int fd);

// Asks the driver to pass received bytes on at once: a USB serial adapter otherwise holds them
// until its latency timer expires (16 ms), which every acknowledgement and read-back would wait
// for. Returns the driver's flags before the change, or -1 where the driver cannot (a pty, most
// other drivers, systems without the request); that is not an error.
int askForLowLatency(int fd);

// Gives the driver back the flags that askForLowLatency returned (nothing for -1).
void restoreSerialFlags(int fd, int flags);

// How the driver's serial flags are read and written (TIOCGSERIAL, TIOCSSERIAL; false where the
// driver or the system cannot). Tests replace it to play a USB serial adapter.
struct SerialFlagsAccess {
    bool (*get)(int fd, int& flags);
    bool (*set)(int fd, int flags);
};

// Installs `access` and returns the one in force before.
SerialFlagsAccess setSerialFlagsAccess(const SerialFlagsAccess& access);

// The flag that asks for low latency (0 where the system has none).
int lowLatencyFlag();

}  // namespace kelvo
