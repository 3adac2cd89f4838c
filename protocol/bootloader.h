#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial_link.h"
#include "protocol/device_table.h"

namespace kelvo {

// First bytes of the host's frames, and the bootloader's acknowledgement.
inline constexpr std::uint8_t kCmdReadProgram = 0x02;
inline constexpr std::uint8_t kCmdWriteProgram = 0x03;
inline constexpr std::uint8_t kCmdWriteEeprom = 0x05;
inline constexpr std::uint8_t kCmdWriteConfig = 0x07;
inline constexpr std::uint8_t kCmdReset = 0x08;
inline constexpr std::uint8_t kCmdReadId = 0x09;
inline constexpr std::uint8_t kCmdPing = 0x0B;
inline constexpr std::uint8_t kAck = 0x01;

// A frame refused or left unanswered this many times in a row is given up.
inline constexpr int kMaxAttempts = 10;

// Puts a target word address on the wire: three bytes, least significant first.
inline void putWireAddress(std::uint8_t* out, std::uint32_t address) {
    out[0] = static_cast<std::uint8_t>(address & 0xFF);
    out[1] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
    out[2] = static_cast<std::uint8_t>((address >> 16) & 0xFF);
}

// One ping (0x0B): true when the bootloader answered 0x01 within the ping limit. When no reply
// comes the buffer still holds 0x0B; a reply other than 0x01 returns at once.
bool ping(PortHandle& port);

// Pings (0x0B) until the bootloader answers 0x01, each ping waiting up to the ping limit, for
// up to the handshake limit. False on time-out, a lost port or the invalid handle.
bool waitForTarget(PortHandle& port);

// What the identification told: the device id and revision, and the table's entry for them.
struct DeviceIdentity {
    std::uint16_t deviceId = 0;
    std::uint16_t revision = 0;
    const DeviceEntry* entry = nullptr;  // nullptr: not in the table, or no complete reply
    DeviceFamily family = DeviceFamily::none;
};

// Waits for the line to be quiet, asks for the identification (0x09), waits for the line to be
// quiet again and looks the device id and revision up in the device table. A reply of fewer than
// six bytes, a chip that is not in the table, or a line that does not fall quiet gives
// DeviceFamily::none.
DeviceIdentity readDeviceIdentity(PortHandle& port);
DeviceFamily readDeviceFamily(PortHandle& port);

enum class SendOutcome {
    acknowledged,    // the target answered 0x01
    endedOnSilence,  // a frame beginning with 0x01 went unanswered: taken as done
    skipped,         // nothing to send (an empty row)
    refused,         // refused or unanswered kMaxAttempts times in a row
    lost,            // the port failed
    noPort           // the invalid handle: nothing can be awaited
};

// Discards what arrives until the line has been quiet for the quiet time, having listened for at
// least `listenMs`. False when it does not fall quiet within listenMs plus the settle limit, or
// the port is lost.
bool settleLine(PortHandle& port, std::uint32_t listenMs);

// Sends the header and then the data as two writes, and waits for one reply byte; resends the
// whole frame until the target answers 0x01, each resend only once the line has been quiet. An
// acknowledgement that follows a failed try stands only when the line then stays quiet for as long
// as the target takes to answer: otherwise it was a stray byte or a late answer, the row is sent
// again, and a configuration frame (a step of a sequence that cannot be repeated) is refused. A
// frame whose first byte is 0x01 (the continuation frame of an empty configuration row) ends when
// no reply comes, since the reply byte then still holds 0x01.
SendOutcome sendAcknowledged(PortHandle& port, const std::uint8_t* header, std::size_t headerSize,
                             const std::uint8_t* data, std::size_t dataSize);

// Tells the target to reset: the single byte 0x08, not acknowledged.
void sendReset(PortHandle& port);

}  // namespace kelvo
