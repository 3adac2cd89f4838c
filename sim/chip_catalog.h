#pragma once

#include <cstdint>
#include <string>

namespace kelvosim {

struct SimChip {
    std::string name;
    std::uint16_t deviceId = 0;
    std::uint8_t revision = 0;
    int family = 0;  // 0 dsPIC30F, 1 dsPIC33F, 2 PIC24H, 3 PIC24F
};

// Finds a chip by part number (case-insensitive). False when the catalog has no such chip.
bool findChip(const std::string& name, SimChip& chip);

}  // namespace kelvosim
