#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "station/station_view.h"

namespace kelvo {

// The station's live table for a terminal `columns` wide: a heading, a line per port and the
// totals. No line takes more than columns - 1 columns (the colour codes take none), so that no line
// wraps and the table can be redrawn in place: on a narrow terminal the columns shrink, and the
// chip, then the last outcome, then the progress bar are left out.
std::vector<std::string> tableLines(const std::vector<PortStatus>& ports, std::size_t columns, double hours);

// "5 passed, 1 failed, 2 interrupted, yield 83.3%, 42.0 devices per hour": the yield counts the
// devices that passed or failed; interrupted ones are named only when there are some.
std::string totalsText(int passed, int failed, int interrupted, double hours);

}  // namespace kelvo
