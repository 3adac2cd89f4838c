#include "protocol/bootloader.h"

#include <array>

#include "common/console.h"
#include "common/time_limits.h"

namespace kelvo {

namespace {

// Discards input until nothing has arrived for the quiet time, so that a late answer to an
// earlier ping is not read as the start of the identification. A line that never falls quiet
// is given up on after the reply limit.
void discardUntilQuiet(PortHandle& port) {
    const TimeLimits& limits = timeLimits();
    std::array<std::uint8_t, 256> scratch{};
    const std::uint32_t start = tickCount();
    while (!port.lost() && elapsedSince(start) < limits.replyMs) {
        if (receiveWithin(port, scratch.data(), scratch.size(), limits.quietMs) == 0) return;
    }
}

}  // namespace

bool waitForTarget(PortHandle& port) {
    if (!port.valid()) return false;
    const TimeLimits& limits = timeLimits();
    const std::uint32_t start = tickCount();
    while (elapsedSince(start) < limits.handshakeMs && !port.lost()) {
        std::uint8_t buffer = kCmdPing;
        sendBytes(port, &buffer, 1);
        receiveExact(port, &buffer, 1, limits.pingMs);
        if (buffer == kAck) return true;
    }
    return false;
}

DeviceFamily readDeviceFamily(PortHandle& port) {
    // Without a port nothing can be identified.
    if (!port.valid()) return DeviceFamily::none;
    say("\nReading Target Device ID");
    discardUntilQuiet(port);
    std::array<std::uint8_t, 8> reply{};
    reply[0] = kCmdReadId;
    sendBytes(port, reply.data(), 1);
    const std::size_t received = receiveWithin(port, reply.data(), reply.size(), timeLimits().replyMs);
    if (received < 6) return DeviceFamily::none;
    const auto deviceId = static_cast<std::uint16_t>(reply[0] | (reply[1] << 8));
    const auto revision = static_cast<std::uint16_t>((reply[5] >> 4) & 0x0F);
    return lookupFamily(deviceId, revision);
}

SendOutcome sendAcknowledged(PortHandle& port, const std::uint8_t* header, std::size_t headerSize,
                             const std::uint8_t* data, std::size_t dataSize) {
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        // A byte queued before the frame goes out (a late answer, noise) is not its reply.
        discardInput(port);
        sendBytes(port, header, headerSize);
        if (dataSize > 0) sendBytes(port, data, dataSize);
        if (!port.valid()) return SendOutcome::noPort;
        if (port.lost()) return SendOutcome::lost;
        std::uint8_t reply = 0;
        if (receiveExact(port, &reply, 1)) {
            if (reply == kAck) return SendOutcome::acknowledged;
        } else if (port.lost()) {
            return SendOutcome::lost;
        } else if (header[0] == kAck) {
            return SendOutcome::endedOnSilence;
        }
    }
    return SendOutcome::refused;
}

void sendReset(PortHandle& port) {
    const std::uint8_t cmdReset = kCmdReset;
    sendBytes(port, &cmdReset, 1);
}

}  // namespace kelvo
