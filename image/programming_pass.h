#pragma once

#include "image/memory_row.h"
#include "link/serial_link.h"

namespace kelvo {

enum class PassResult {
    sent,      // every row went out and was answered
    rejected,  // a row was refused or left unanswered too often; the message has been printed
    lost       // the port failed; the link has reported it
};

// Formats every row, then sends the rows in table order with a progress line for each slot,
// waits the fixed pause and reports the end of the transmission.
PassResult runProgrammingPass(PortHandle& port, RowTable& table);

}  // namespace kelvo
