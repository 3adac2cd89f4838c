#pragma once

namespace kelvo {

// The driver's output queue of a POSIX port as closePort sees it: how many bytes are still
// queued (TIOCOUTQ), and the wait until the last of them has left the line (tcdrain). Tests
// replace it to play a line that is still sending.
struct OutputQueue {
    int (*queued)(int fd);
    int (*drain)(int fd);
};

// Installs `queue` and returns the one in force before.
OutputQueue setOutputQueue(const OutputQueue& queue);

}  // namespace kelvo
