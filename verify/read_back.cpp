#include "verify/read_back.h"

#include <array>

#include "common/time_limits.h"
#include "protocol/bootloader.h"

namespace kelvo {

namespace {

// Rows that start below this word address hold the bootloader's own area and are not read back.
constexpr std::uint32_t kFirstVerifiedAddress = 0x1C00;

// The target answers each instruction with its four bytes in the reverse order of the write
// frame: the unstored top byte first, then the three stored bytes from high to low.
bool sameInstructions(const std::uint8_t* reply, const MemoryRow& row, std::size_t bytes) {
    for (std::size_t p = 0; p < bytes; p += 4) {
        if (reply[p + 3] != row.txByte(p) || reply[p + 2] != row.txByte(p + 1) ||
            reply[p + 1] != row.txByte(p + 2)) {
            return false;
        }
    }
    return true;
}

}  // namespace

ReadBackPlan planReadBack(DeviceFamily family, const RowSet& rows) {
    ReadBackPlan plan;
    if (family == DeviceFamily::none) return plan;
    for (std::size_t slot = 0; slot < kProgramRows; ++slot) {
        const MemoryRow* row = rows[slot];
        if (row == nullptr || row->isEmpty() == 1 || row->address() < kFirstVerifiedAddress) continue;
        ++plan.rows;
        plan.bytes += static_cast<std::size_t>(programRowSize(family)) * 4U;
    }
    return plan;
}

bool verify(PortHandle& port, DeviceFamily family, const RowSet& rows) {
    if (family == DeviceFamily::none || !port.valid()) return false;
    const std::size_t replySize = static_cast<std::size_t>(programRowSize(family)) * 4U;
    std::array<std::uint8_t, 4096> buffer{};
    for (std::size_t slot = 0; slot < kProgramRows; ++slot) {
        const int block = static_cast<int>(slot);
        const MemoryRow* row = rows[slot];
        const bool readBack =
            row != nullptr && row->isEmpty() == 0 && row->address() >= kFirstVerifiedAddress;
        port.emit({.kind = EventKind::rowChecked, .block = block, .bytes = readBack ? replySize : 0});
        if (!readBack) continue;
        buffer[0] = kCmdReadProgram;
        putWireAddress(&buffer[1], row->address());
        // What is still queued (a late acknowledgement, the tail of an overlong reply) would
        // shift this read-back.
        discardInput(port);
        sendBytes(port, buffer.data(), 4);
        const std::size_t received = receiveWithin(port, buffer.data(), replySize, port.limits().replyMs);
        if (port.lost()) return false;
        if (received != replySize || !sameInstructions(buffer.data(), *row, replySize)) {
            port.emit({.kind = EventKind::badData, .block = block});
            return false;
        }
    }
    return true;
}

}  // namespace kelvo
