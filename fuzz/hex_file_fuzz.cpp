// libFuzzer target: the HEX file reader and the placement of its image on arbitrary file contents.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "image/hex_file.h"
#include "image/hex_loader.h"
#include "image/memory_row.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the family; the rest is the file.
    const auto family = static_cast<kelvo::DeviceFamily>(data[0] % 4);
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data + 1), size - 1 == 0 ? 1 : size - 1, "rb");
    if (file == nullptr) return 0;
    kelvo::HexImage image;
    kelvo::HexProblem problem;
    const kelvo::HexRead read = kelvo::readHexFile(file, image, problem);
    std::fclose(file);
    if (read != kelvo::HexRead::good) return 0;
    // One table per family is kept for the whole run (allocating 2184 rows for every input would
    // be most of the work); words from earlier inputs stay in it, which placing does not mind.
    static std::unique_ptr<kelvo::RowTable> tables[4];
    auto& table = tables[data[0] % 4];
    if (!table) {
        table = std::make_unique<kelvo::RowTable>();
        if (!kelvo::allocateRows(*table, family)) std::abort();
    }
    kelvo::placeImage(image, *table);
    for (std::size_t slot = 0; slot < kelvo::kUsedSlots; ++slot) table->slots[slot]->formatRow();
    return 0;
}
