#pragma once

#include <cstddef>

#include "image/hex_image.h"
#include "image/memory_row.h"

namespace kelvo {

// Stores every word of the file's image that goes to the chip in the row that sends it. A word
// that no row sends is reported as "Bad Hex file: 0x...Address out of range" and placing goes on:
// a word outside every row, the eighth configuration word of a dsPIC30F, and the second word of an
// EEPROM or configuration location unless it holds padding (bytes of 0x00 or 0xFF). Returns the number
// of words placed: only those count as something to write.
std::size_t placeImage(const HexImage& image, RowTable& table);

}  // namespace kelvo
