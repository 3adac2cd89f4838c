#include "image/hex_loader.h"

#include <new>

namespace kelvo {

namespace {
bool isPadding(std::uint16_t word) {
    const auto isFill = [](unsigned byte) { return byte == 0x00 || byte == 0xFF; };
    return isFill(word >> 8) && isFill(word & 0xFFU);
}
}  // namespace

Placement placeImage(const HexImage& image, RowTable& table) {
    Placement placement;
    image.forEachWord([&](std::uint32_t wordAddress, std::uint16_t value) {
        const std::ptrdiff_t slot = slotForAddress(table, wordAddress);
        MemoryRow* row = slot >= 0 ? table.slots[static_cast<std::size_t>(slot)].get() : nullptr;
        switch (row != nullptr ? row->placeWord(wordAddress, value) : WordUse::nowhere) {
            case WordUse::sent: ++placement.placed; return;
            case WordUse::secondWord:
                // Compilers pad the second word of a location (the unimplemented top byte of a
                // 24-bit value, then the phantom byte) with bytes of 0x00 or 0xFF; any other
                // value is data that the chip would never get.
                if (isPadding(value)) return;
                break;
            case WordUse::nowhere: break;
        }
        placement.outOfRange.push_back(wordAddress);
    });
    return placement;
}

std::unique_ptr<PreparedRows> prepareRows(const HexImage& image, DeviceFamily family) {
    std::unique_ptr<PreparedRows> rows(new (std::nothrow) PreparedRows);
    if (!rows || !allocateRows(rows->table, family)) return nullptr;
    rows->placement = placeImage(image, rows->table);
    for (std::size_t slot = 0; slot < kUsedSlots; ++slot) {
        MemoryRow& row = *rows->table.slots[slot];
        if (!row.valid()) return nullptr;  // a row's memory could not be allocated
        row.formatRow();
    }
    return rows;
}

}  // namespace kelvo
