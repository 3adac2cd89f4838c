#pragma once

#include "image/memory_row.h"
#include "link/serial_link.h"

namespace kelvo {

enum class PassResult {
    sent,      // every row went out and was answered
    rejected,  // a row was refused or left unanswered too often (a rowRejected event said which)
    lost       // the port failed (the link said so), or the update was asked to stop
};

// Sends the formatted rows in table order, with an event for each slot, waits the fixed pause and
// reports the end of the transmission. Events go to the port's update.
PassResult runProgrammingPass(PortHandle& port, const RowSet& rows);

}  // namespace kelvo
