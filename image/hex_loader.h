#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "image/hex_image.h"
#include "image/memory_row.h"

namespace kelvo {

// Where the words of a file went: how many were placed (only those count as something to write),
// and the words that no row sends, by ascending address.
struct Placement {
    std::size_t placed = 0;
    std::vector<std::uint32_t> outOfRange;
};

// Stores every word of the file's image that goes to the chip in the row that sends it. A word
// that no row sends is listed and placing goes on: a word outside every row, the eighth
// configuration word of a dsPIC30F, and the second word of an EEPROM or configuration location
// unless it holds padding (bytes of 0x00 or 0xFF).
Placement placeImage(const HexImage& image, RowTable& table);

// The rows of `family` filled from the file's image and formatted, ready to be sent by any number
// of updates at once, with where the words went.
struct PreparedRows {
    RowTable table;
    Placement placement;
};

// Creates, fills and formats the rows of `family`; nullptr when they cannot be created (memory).
std::unique_ptr<PreparedRows> prepareRows(const HexImage& image, DeviceFamily family);

}  // namespace kelvo
