#include "image/hex_loader.h"

#include "common/console.h"

namespace kelvo {

std::size_t placeImage(const HexImage& image, RowTable& table) {
    say("\nReading HexFile");
    std::size_t placed = 0;
    image.forEachWord([&](std::uint32_t wordAddress, std::uint16_t value) {
        const std::ptrdiff_t slot = slotForAddress(table, wordAddress);
        if (slot >= 0 && table.slots[static_cast<std::size_t>(slot)]->insertWord(wordAddress, value)) {
            ++placed;
        } else {
            say("Bad Hex file: 0x%xAddress out of range\n", wordAddress);
        }
    });
    return placed;
}

}  // namespace kelvo
