#include "image/hex_loader.h"

#include "common/console.h"

namespace kelvo {

namespace {
bool isPadding(std::uint16_t word) {
    const auto isFill = [](unsigned byte) { return byte == 0x00 || byte == 0xFF; };
    return isFill(word >> 8) && isFill(word & 0xFFU);
}
}  // namespace

std::size_t placeImage(const HexImage& image, RowTable& table) {
    say("\nReading HexFile");
    std::size_t placed = 0;
    image.forEachWord([&](std::uint32_t wordAddress, std::uint16_t value) {
        const std::ptrdiff_t slot = slotForAddress(table, wordAddress);
        MemoryRow* row = slot >= 0 ? table.slots[static_cast<std::size_t>(slot)].get() : nullptr;
        switch (row != nullptr ? row->wordUse(wordAddress) : WordUse::nowhere) {
            case WordUse::sent:
                row->insertWord(wordAddress, value);
                ++placed;
                return;
            case WordUse::secondWord:
                // Compilers pad the second word of a location (the unimplemented top byte of a
                // 24-bit value, then the phantom byte) with bytes of 0x00 or 0xFF; any other
                // value is data that the chip would never get.
                if (isPadding(value)) return;
                break;
            case WordUse::nowhere: break;
        }
        say("Bad Hex file: 0x%xAddress out of range\n", wordAddress);
    });
    return placed;
}

}  // namespace kelvo
