#include "sim/target_memory.h"

#include <cstdio>

namespace kelvosim {

namespace {
constexpr std::uint32_t kEepromBase = 0x7FF000;
constexpr std::uint32_t kEepromEnd = 0x800000;
constexpr std::uint32_t kConfigBase = 0xF80000;

void appendRecord(std::string& out, std::uint8_t type, std::uint16_t address, const std::uint8_t* data,
                  std::size_t count) {
    char text[16];
    unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(count), address, type);
    out += text;
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(text, sizeof text, "%02X", data[i]);
        out += text;
        sum += data[i];
    }
    std::snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    out += text;
}
}  // namespace

TargetMemory::TargetMemory(int family)
    : family_(family), program_(programWords() / 2, 0xFFFFFF), written_(programWords() / 2, false) {}

bool TargetMemory::programRowAddressValid(std::uint32_t wordAddress) const {
    return wordAddress % (rowInstructions() * 2U) == 0 && wordAddress < programWords();
}

bool TargetMemory::eepromRowAddressValid(std::uint32_t wordAddress) const {
    return wordAddress >= kEepromBase && wordAddress < kEepromEnd && wordAddress % 32U == 0;
}

void TargetMemory::writeProgramRow(std::uint32_t wordAddress, const std::uint8_t* data) {
    const std::uint32_t first = wordAddress / 2;
    for (std::uint32_t i = 0; i < rowInstructions(); ++i) {
        const std::uint8_t* b = data + 4 * i;
        program_[first + i] = b[0] | (b[1] << 8) | (static_cast<std::uint32_t>(b[2]) << 16);
        written_[first + i] = true;
    }
}

void TargetMemory::writeEepromRow(std::uint32_t wordAddress, const std::uint8_t* data) {
    for (std::uint32_t i = 0; i < 16; ++i) {
        eeprom_[wordAddress + 2 * i] = static_cast<std::uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
}

void TargetMemory::writeConfigWord(int index, std::uint8_t v0, std::uint8_t v1) {
    config_[index] = static_cast<std::uint16_t>(v0 | (v1 << 8));
}

std::uint32_t TargetMemory::instruction(std::uint32_t wordAddress) const {
    const std::uint32_t index = wordAddress / 2;
    return index < program_.size() ? program_[index] : 0xFFFFFF;
}

std::uint16_t TargetMemory::eeprom(std::uint32_t wordAddress) const {
    const auto it = eeprom_.find(wordAddress);
    return it == eeprom_.end() ? 0xFFFF : it->second;
}

std::uint16_t TargetMemory::config(int index) const {
    const auto it = config_.find(index);
    return it == config_.end() ? 0xFFFF : it->second;
}

std::string TargetMemory::toHex() const {
    // Byte address -> byte, then written out in runs of up to 16 bytes.
    std::map<std::uint32_t, std::uint8_t> bytes;
    auto put4 = [&](std::uint32_t wordAddress, std::uint32_t value) {
        const std::uint32_t at = wordAddress * 2;
        bytes[at] = static_cast<std::uint8_t>(value & 0xFF);
        bytes[at + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
        bytes[at + 2] = static_cast<std::uint8_t>((value >> 16) & 0xFF);
        bytes[at + 3] = 0;
    };
    for (std::size_t i = 0; i < program_.size(); ++i) {
        if (written_[i]) put4(static_cast<std::uint32_t>(i * 2), program_[i]);
    }
    for (const auto& [address, value] : eeprom_) put4(address, value);
    for (const auto& [index, value] : config_)
        put4(kConfigBase + 2U * static_cast<std::uint32_t>(index), value);

    std::string out;
    std::uint32_t upper = 0;
    auto it = bytes.begin();
    while (it != bytes.end()) {
        const std::uint32_t start = it->first;
        if ((start >> 16) != upper) {
            upper = start >> 16;
            const std::uint8_t ext[2] = {static_cast<std::uint8_t>(upper >> 8),
                                         static_cast<std::uint8_t>(upper & 0xFF)};
            appendRecord(out, 4, 0, ext, 2);
        }
        std::uint8_t run[16]{};
        std::size_t count = 0;
        while (it != bytes.end() && count < 16 && it->first == start + count && (it->first >> 16) == upper) {
            run[count++] = it->second;
            ++it;
        }
        appendRecord(out, 0, static_cast<std::uint16_t>(start & 0xFFFF), run, count);
    }
    appendRecord(out, 1, 0, nullptr, 0);
    return out;
}

}  // namespace kelvosim
