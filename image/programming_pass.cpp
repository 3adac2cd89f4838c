#include "image/programming_pass.h"

#include "common/time_limits.h"

namespace kelvo {

PassResult runProgrammingPass(PortHandle& port, const RowSet& rows) {
    UpdateEvent programming{.kind = EventKind::programming};
    for (std::size_t slot = 0; slot < kUsedSlots; ++slot) {
        const std::size_t bytes = rows[slot] != nullptr ? rows[slot]->frameSize() : 0;
        programming.count += bytes > 0 ? 1 : 0;
        programming.bytes += bytes;
    }
    port.emit(programming);
    for (std::size_t slot = 0; slot < kUsedSlots; ++slot) {
        const int block = static_cast<int>(slot);
        const MemoryRow* row = rows[slot];
        if (row != nullptr) {
            const SendOutcome outcome = row->sendRow(port);
            if (outcome == SendOutcome::lost) return PassResult::lost;
            if (outcome == SendOutcome::refused) {
                port.emit({.kind = EventKind::rowRejected, .block = block});
                return PassResult::rejected;
            }
        }
        port.emit(
            {.kind = EventKind::rowWritten, .block = block, .bytes = row != nullptr ? row->frameSize() : 0});
    }
    sleepMs(port.limits().pauseMs, port.context().stop);
    if (port.lost()) return PassResult::lost;  // the pause was cut short by a stop request
    port.emit({.kind = EventKind::transmitted});
    return PassResult::sent;
}

}  // namespace kelvo
