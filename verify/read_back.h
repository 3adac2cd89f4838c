#pragma once

#include <cstddef>

#include "image/memory_row.h"
#include "link/serial_link.h"
#include "protocol/device_table.h"

namespace kelvo {

// What the verification will read: the rows and the bytes of their replies.
struct ReadBackPlan {
    std::size_t rows = 0;
    std::size_t bytes = 0;
};
ReadBackPlan planReadBack(DeviceFamily family, const RowSet& rows);

// Reads back every non-empty program row from word address 0x1C00 up and compares all three
// stored bytes of every instruction with what was sent, with an event for each program row. False
// on the first row that differs or whose read-back does not arrive complete (a badData event says
// which), for a lost port, the invalid handle or an unknown family.
bool verify(PortHandle& port, DeviceFamily family, const RowSet& rows);

}  // namespace kelvo
