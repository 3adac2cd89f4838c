#include "image/hex_loader.h"

#include <string>

#include "common/console.h"
#include "image/hex_file.h"

namespace kelvo {

namespace {

void storeWord(RowTable& table, std::uint32_t wordAddress, std::uint16_t value) {
    const std::ptrdiff_t slot = slotForAddress(table, wordAddress);
    if (slot < 0 || !table.slots[static_cast<std::size_t>(slot)]->insertWord(wordAddress, value)) {
        say("Bad Hex file: 0x%xAddress out of range\n", wordAddress);
    }
}

}  // namespace

bool loadHexFile(std::FILE* file, RowTable& table) {
    say("\nReading HexFile");
    std::rewind(file);
    LineReader reader(file);
    std::string_view line;
    HexRecord record;
    std::int32_t extAddr = 0;
    unsigned lineNumber = 0;
    while (reader.next(line)) {
        ++lineNumber;
        const char* reason = "";
        const HexLine kind = parseHexLine(line, record, reason);
        if (kind == HexLine::skip) continue;
        if (kind == HexLine::bad) {
            say("\nBad Hex file: line %u: %s\n", lineNumber, reason);
            return false;
        }
        if (record.recordType == 4) {
            const auto value = static_cast<std::uint32_t>((record.data[0] << 8) | record.data[1]);
            extAddr = static_cast<std::int32_t>(value << 16);
        } else if (record.recordType == 0) {
            // The file's byte address becomes a target word address: half of it, in signed
            // 32-bit arithmetic as the address has always been computed. A record that crosses a
            // 64 KiB boundary goes on linearly.
            const std::int32_t byteAddress = static_cast<std::int32_t>(record.address) + extAddr;
            auto wordAddress = static_cast<std::uint32_t>(byteAddress / 2);
            for (std::size_t i = 0; i < record.byteCount; i += 2, ++wordAddress) {
                // An odd byte count leaves the low byte of the last word erased.
                const std::uint8_t low = i + 1 < record.byteCount ? record.data[i + 1] : 0xFF;
                storeWord(table, wordAddress, static_cast<std::uint16_t>((record.data[i] << 8) | low));
            }
        }
    }
    return !reader.failed();
}

}  // namespace kelvo
