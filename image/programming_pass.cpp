#include "image/programming_pass.h"

#include "common/console.h"
#include "common/time_limits.h"

namespace kelvo {

PassResult runProgrammingPass(PortHandle& port, RowTable& table) {
    for (std::size_t slot = 0; slot < kUsedSlots; ++slot) {
        if (table.slots[slot]) table.slots[slot]->formatRow();
    }
    say("\nProgramming Device ");
    for (std::size_t slot = 0; slot < kUsedSlots; ++slot) {
        const int block = static_cast<int>(slot);
        if (table.slots[slot]) {
            const SendOutcome outcome = table.slots[slot]->sendRow(port);
            if (outcome == SendOutcome::lost) return PassResult::lost;
            if (outcome == SendOutcome::refused) {
                say("\nThe target Kelvo device did not accept block # %d. Update failed. Please "
                    "update again or contact Varnoth technical support.\n",
                    block);
                return PassResult::rejected;
            }
        }
        say("\nwritng data blocks - block # %d", block);
    }
    sleepMs(timeLimits().pauseMs);
    if (port.lost()) return PassResult::lost;  // the pause was cut short by an interrupt
    say("\nTransmitting firmware finished.");
    return PassResult::sent;
}

}  // namespace kelvo
