#pragma once

#include <cstdio>

#include "image/memory_row.h"

namespace kelvo {

// Reads every record of a HEX file that has passed checkHexFile and stores its words in the
// rows: data records (00), end-of-file (01, reading goes on to the physical end of the file)
// and extended linear address records (04). A word that no row holds is reported as
// "Bad Hex file: 0x...Address out of range" and loading goes on. False when a line that is not
// a record turns up after all (the file changed since it was checked): the image is then
// incomplete and must not be sent.
bool loadHexFile(std::FILE* file, RowTable& table);

}  // namespace kelvo
