#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kelvosim {

// What the simulated chip holds: program memory (24-bit instructions, erased 0xFFFFFF), EEPROM
// (16-bit locations) and configuration words, all keyed by target word address.
class TargetMemory {
public:
    explicit TargetMemory(int family);

    int family() const { return family_; }
    // Instructions per program row: 32 for dsPIC30F, 512 otherwise.
    std::uint32_t rowInstructions() const { return family_ == 0 ? 32U : 512U; }
    // Word addresses of program memory: 2048 rows.
    std::uint32_t programWords() const { return rowInstructions() * 2U * 2048U; }
    // Configuration words that follow the first one (0x07) as continuation frames.
    int configContinuations() const { return family_ == 0 ? 6 : 7; }

    bool programRowAddressValid(std::uint32_t wordAddress) const;
    bool eepromRowAddressValid(std::uint32_t wordAddress) const;

    // A row of instructions in write-frame order: low, middle, high, unused byte per instruction.
    void writeProgramRow(std::uint32_t wordAddress, const std::uint8_t* data);
    // A row of 16 EEPROM locations, two bytes each in write-frame order.
    void writeEepromRow(std::uint32_t wordAddress, const std::uint8_t* data);
    void writeConfigWord(int index, std::uint8_t v0, std::uint8_t v1);

    std::uint32_t instruction(std::uint32_t wordAddress) const;
    bool hasEeprom(std::uint32_t wordAddress) const { return eeprom_.count(wordAddress) != 0; }
    std::uint16_t eeprom(std::uint32_t wordAddress) const;
    bool hasConfig(int index) const { return config_.count(index) != 0; }
    std::uint16_t config(int index) const;

    // Every written location as an Intel HEX file, at the byte addresses of the toolchain's
    // files (twice the word address, four bytes per instruction or location).
    std::string toHex() const;

private:
    int family_;
    std::vector<std::uint32_t> program_;  // by instruction index (word address / 2)
    std::vector<bool> written_;
    std::map<std::uint32_t, std::uint16_t> eeprom_;  // first byte in the low half
    std::map<int, std::uint16_t> config_;
};

}  // namespace kelvosim
