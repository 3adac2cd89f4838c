#pragma once

#include <cstddef>

#include "image/hex_image.h"
#include "image/memory_row.h"

namespace kelvo {

// Stores every word of the file's image in the row that holds its address. A word that no row
// holds is reported as "Bad Hex file: 0x...Address out of range" and placing goes on. Returns the
// number of words that landed in a row.
std::size_t placeImage(const HexImage& image, RowTable& table);

}  // namespace kelvo
