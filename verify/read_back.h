#pragma once

#include "image/memory_row.h"
#include "link/serial_link.h"
#include "protocol/device_table.h"

namespace kelvo {

// Reads back every non-empty program row from word address 0x1C00 up and compares all three
// stored bytes of every instruction with what was sent. False on the first row that differs or
// whose read-back does not arrive complete (reported as "ATTENTION: block #N has bad data."),
// for a lost port, a missing table, the invalid handle or an unknown family.
bool verify(PortHandle& port, DeviceFamily family, const RowTable* table);

}  // namespace kelvo
