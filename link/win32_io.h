#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial_link.h"

namespace kelvo {

// Reads up to `count` bytes with one overlapped read. A read that is still pending after `waitMs`
// is cancelled and waited for before this returns, so that nothing writes into `buffer`
// afterwards; the bytes it delivered are returned. A line error (ERROR_OPERATION_ABORTED on a port
// with abort-on-error set) is cleared and counts as no bytes; a device that has gone marks the
// port lost.
std::size_t readPending(PortHandle& port, std::uint8_t* buffer, std::size_t count, std::uint32_t waitMs);

}  // namespace kelvo
