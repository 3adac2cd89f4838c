#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/chip_catalog.h"
#include "sim/target_memory.h"

namespace kelvosim {

// How the simulated bootloader behaves, including the faults it can be told to show.
struct SimOptions {
    SimChip chip;                                // what the identification reports
    int family = 0;                              // memory geometry
    bool silent = false;                         // never answer anything
    int nakPings = 0;                            // answer the first N pings with 0x00
    int pingDelayMs = 0;                         // answer the first ping only after this long
    int strayAfterPing = 0;                      // bytes of noise sent right after the first 0x01
    int idLength = 8;                            // bytes of the identification reply actually sent
    int refuseFrame = 0;                         // write frame N (1-based) ...
    int refuseCount = 0;                         // ... is refused this many times (-1: always)
    bool refuseAll = false;                      // refuse every write frame
    int silentAfterFrame = -1;                   // after N acknowledged write frames, answer nothing more
    int hangupAfterFrame = -1;                   // after N acknowledged write frames, drop the line mid-frame
    int hangupAfterAck = -1;                     // drop the line 200 ms after acknowledging write frame N
    int strayAfterRefusalMs = -1;                // this long after each refusal, send a stray 0x01
    bool hangupInId = false;                     // drop the line right after the identification bytes
    int strayAfterIdMs = -1;                     // this long after the identification, send a stray 0x01
    int talkAfterIdMs = 0;                       // after the identification, send noise for this long
    int dropLineAfterMs = -1;                    // drop the line this long after the session starts
    bool ignoreEmptyConfig = false;              // leave continuation frames with E = 1 unanswered
    std::map<std::uint32_t, int> flipReadback;   // row address -> index of the reply byte to flip
    std::map<std::uint32_t, int> shortReadback;  // row address -> bytes sent of the reply
    std::map<std::uint32_t, bool> skipReadback;  // row address -> no reply at all
    int baud = 0;                                // pace the line at this speed (11 bits a byte); 0: unpaced
    int rowMs = 0;                               // time taken to write each row
    // Hostile behaviour: a target that misbehaves in every way the tool must survive.
    bool garbage = false;  // every reply replaced by noise of the same length
    bool flood = false;    // sends noise all the time, from the start, never stopping
    int overlong = 0;      // every reply followed by this many extra 0x01 bytes
    bool echo = false;     // sends every byte it receives straight back and answers nothing
};

// The bootloader side of the wire protocol on the master end of a pseudo-terminal.
class BootloaderTarget {
public:
    explicit BootloaderTarget(const SimOptions& options);
    ~BootloaderTarget();
    BootloaderTarget(const BootloaderTarget&) = delete;
    BootloaderTarget& operator=(const BootloaderTarget&) = delete;

    // Creates the pseudo-terminal; slavePath() is then the port for the host.
    bool openPty();
    const std::string& slavePath() const { return slavePath_; }

    // The pseudo-terminal, handed from one simulated device to the next on a fixture.
    struct Line {
        int master = -1;
        int slave = -1;
        std::string path;
    };
    void adoptLine(Line line);
    Line releaseLine();

    // Serves the host until the reset byte ends the session, the line is dropped on purpose,
    // or stop() is called. True when the session ended with the reset byte.
    bool run();
    // The same, ending also after `ms` milliseconds (a bootloader that listens only for a while).
    bool runFor(int ms);
    // Reads and discards what the host sends for `ms` milliseconds, answering nothing (the
    // device runs its application).
    void stayQuiet(int ms);
    void stop() { stopping_ = true; }
    bool stopped() const { return stopping_; }

    // Closes the master end now: the host sees its port hang up.
    void hangUp();
    bool hungUp() const { return hungUp_; }

    // Every byte received from the host, in order.
    std::vector<std::uint8_t> received() const;
    const TargetMemory& memory() const { return memory_; }
    int pingsSeen() const { return pings_; }
    // Bytes sent to the host, and write frames acknowledged (each took the row time).
    std::size_t bytesSent() const { return sent_; }
    int framesAcknowledged() const { return framesAcked_; }
    // Sessions ended by the host's reset byte, and identifications asked for.
    int resets() const { return resets_; }
    int identifications() const { return identifications_; }

private:
    bool serve();
    bool readBytes(std::uint8_t* out, std::size_t count);
    void sendBytes(const std::uint8_t* data, std::size_t count);
    void writeRaw(const std::uint8_t* data, std::size_t count);
    void floodLine();
    void waitForLine(std::size_t count);
    std::int64_t byteNs() const;
    void answerWrite(bool accepted);
    bool writeFrameAllowed();
    void handlePing();
    void handleReadId();
    bool handleProgramWrite();
    bool handleEepromWrite();
    bool handleConfig(std::uint8_t first);
    bool handleReadBack();

    SimOptions options_;
    TargetMemory memory_;
    int master_ = -1;
    int slave_ = -1;  // kept open so that the line stays up between the host's opens
    std::string slavePath_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex logMutex_;
    std::vector<std::uint8_t> received_;
    int pings_ = 0;
    int framesAcked_ = 0;
    int resets_ = 0;
    int identifications_ = 0;
    std::int64_t deadlineNs_ = 0;  // 0: none
    int refusalsGiven_ = 0;
    int configLeft_ = 0;  // continuation frames still expected after 0x07
    int configIndex_ = 0;
    bool quiet_ = false;
    bool hungUp_ = false;
    std::int64_t lineFreeNs_ = 0;
    std::atomic<std::size_t> sent_{0};
    std::uint32_t noise_ = 0x2545F491;  // state of the noise generator
    std::thread flooder_;               // when the paced line has delivered everything read so far
};

}  // namespace kelvosim
