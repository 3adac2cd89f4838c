#include "protocol/bootloader.h"

#include <algorithm>
#include <array>

#include "common/time_limits.h"

namespace kelvo {

bool settleLine(PortHandle& port, std::uint32_t listenMs) {
    if (!port.valid()) return false;
    const TimeLimits& limits = port.limits();
    std::array<std::uint8_t, 256> scratch{};
    const std::uint32_t start = tickCount();
    std::uint32_t lastHeard = start;
    while (!port.lost()) {
        const std::uint32_t now = tickCount();
        const std::uint32_t listened = now - start;
        const std::uint32_t quiet = now - lastHeard;
        if (listened >= listenMs && quiet >= limits.quietMs) return true;
        if (listened >= listenMs + limits.settleMs) return false;
        // Until the listening and the quiet time are both over, or the bound if that comes first.
        std::uint32_t wait = listened < listenMs ? listenMs - listened : 0;
        if (quiet < limits.quietMs && limits.quietMs - quiet > wait) wait = limits.quietMs - quiet;
        const std::uint32_t left = listenMs + limits.settleMs - listened;
        if (wait > left) wait = left;
        if (receiveQueued(port, scratch.data(), scratch.size(), wait) > 0) lastHeard = tickCount();
    }
    return false;
}

bool ping(PortHandle& port) {
    std::uint8_t buffer = kCmdPing;
    sendBytes(port, &buffer, 1);
    receiveExact(port, &buffer, 1, port.limits().pingMs);
    return buffer == kAck;
}

bool waitForTarget(PortHandle& port) {
    if (!port.valid()) return false;
    const std::uint32_t start = tickCount();
    while (elapsedSince(start) < port.limits().handshakeMs && !port.lost()) {
        if (ping(port)) return true;
    }
    return false;
}

DeviceIdentity readDeviceIdentity(PortHandle& port) {
    DeviceIdentity identity;
    // Without a port nothing can be identified.
    if (!port.valid()) return identity;
    port.emit({.kind = EventKind::identifying});
    // A late answer to an earlier ping is not the start of the identification; a line that never
    // falls quiet identifies nothing.
    if (!settleLine(port, 0)) return identity;
    std::array<std::uint8_t, 8> reply{};
    reply[0] = kCmdReadId;
    sendBytes(port, reply.data(), 1);
    const std::size_t received = receiveWithin(port, reply.data(), reply.size(), port.limits().replyMs);
    // Nor is what follows the identification (an overlong reply, its late bytes) the answer to the
    // first frame.
    if (!settleLine(port, 0) || received < 6) return identity;
    identity.deviceId = static_cast<std::uint16_t>(reply[0] | (reply[1] << 8));
    identity.revision = static_cast<std::uint16_t>((reply[5] >> 4) & 0x0F);
    identity.entry = lookupDevice(identity.deviceId, identity.revision);
    if (identity.entry != nullptr) identity.family = identity.entry->family;
    return identity;
}

DeviceFamily readDeviceFamily(PortHandle& port) {
    return readDeviceIdentity(port).family;
}

namespace {

// Whether nothing arrives for `ms`: an acknowledgement that was not the frame's own is followed by
// the target's own answer to the frame.
bool staysQuiet(PortHandle& port, std::uint32_t ms) {
    std::uint8_t late = 0;
    return receiveWithin(port, &late, 1, ms) == 0 && !port.lost();
}

}  // namespace

SendOutcome sendAcknowledged(PortHandle& port, const std::uint8_t* header, std::size_t headerSize,
                             const std::uint8_t* data, std::size_t dataSize) {
    const TimeLimits& limits = port.limits();
    const std::uint32_t frameMs = lineTimeMs(port, headerSize + dataSize);
    // A row frame sent twice writes the same row twice; a configuration frame is one step of a
    // sequence, and the target takes a frame it has already accepted for the next step.
    const bool repeatable = header[0] == kCmdWriteProgram || header[0] == kCmdWriteEeprom;
    // Listening time before a resend: none after a refusal, whose tail (if any) follows at once;
    // after a reply that did not come in time, the time the frame took on the line and one quiet
    // time more, since the late reply may still be on its way.
    std::uint32_t listenMs = 0;
    bool tryFailed = false;  // an earlier try was refused or went unanswered
    bool tryTimedOut = false;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        // A try after a failed one goes out on a quiet line only: what a refusal still sends and a
        // reply that comes after the limit answer nothing. A line that does not fall quiet is a
        // failed try of its own.
        if (attempt > 0) {
            port.emit({.kind = EventKind::frameResent, .bytes = headerSize + dataSize});
            if (!settleLine(port, listenMs)) {
                if (port.lost()) return SendOutcome::lost;
                listenMs = 0;
                continue;
            }
        }
        // A byte queued before the frame goes out (a late answer, noise) is not its reply.
        discardInput(port);
        const std::uint32_t sentAt = tickCount();
        sendBytes(port, header, headerSize);
        if (dataSize > 0) sendBytes(port, data, dataSize);
        if (!port.valid()) return SendOutcome::noPort;
        if (port.lost()) return SendOutcome::lost;
        std::uint8_t reply = 0;
        if (receiveExact(port, &reply, 1)) {
            port.noteReplyMs(elapsedSince(sentAt));
            if (reply != kAck) {
                tryFailed = true;
                listenMs = 0;
                continue;
            }
            if (!tryFailed) return SendOutcome::acknowledged;
            // After a failed try, a stray byte or the late answer to an earlier try can arrive while
            // this one is on its way and look like its acknowledgement; the target's own answer then
            // follows it. The acknowledgement stands once the line has stayed quiet for as long as
            // the target takes to answer: its slowest answer so far, or after a try that went
            // unanswered, twice the reply limit (its answer to that try came later than the limit).
            const std::uint32_t answerMs =
                tryTimedOut ? 2 * limits.replyMs : std::max(frameMs, port.slowestReplyMs());
            if (staysQuiet(port, answerMs + limits.confirmMs)) return SendOutcome::acknowledged;
            if (port.lost()) return SendOutcome::lost;
            // Out of step with the target: a row is written again; a configuration sequence can no
            // longer be known to be in step, so it is given up.
            if (!repeatable) return SendOutcome::refused;
            listenMs = 0;
            continue;
        }
        if (port.lost()) return SendOutcome::lost;
        tryFailed = true;
        tryTimedOut = true;
        listenMs = frameMs + limits.quietMs;
        if (header[0] == kAck) {
            // A continuation frame whose reply byte still holds 0x01 ends on silence, once the line
            // is quiet for the frame that follows; a line that does not fall quiet is a failed try.
            if (settleLine(port, listenMs)) return SendOutcome::endedOnSilence;
            if (port.lost()) return SendOutcome::lost;
            listenMs = 0;
        }
    }
    return SendOutcome::refused;
}

void sendReset(PortHandle& port) {
    const std::uint8_t cmdReset = kCmdReset;
    sendBytes(port, &cmdReset, 1);
}

}  // namespace kelvo
