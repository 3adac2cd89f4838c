#pragma once

#include <cstdint>

namespace kelvo {

// The chip family decides the program row size, whether the eighth configuration word is
// sent, and the read-back size.
enum class DeviceFamily : std::int32_t {
    dsPic30F = 0,
    dsPic33F = 1,
    pic24H = 2,
    pic24F = 3,
    none = 4  // not in the table
};

struct DeviceEntry {
    const char* name;  // part number; a null name ends the table
    std::uint16_t deviceId;
    std::uint16_t revision;
    DeviceFamily family;
};

// 78 supported chips and a terminating entry of zeros.
extern const DeviceEntry kDeviceTable[79];

// The first entry whose device id and revision both match, or nullptr.
const DeviceEntry* lookupDevice(std::uint16_t deviceId, std::uint16_t revision);

// Family of the first entry whose device id and revision both match, or DeviceFamily::none.
DeviceFamily lookupFamily(std::uint16_t deviceId, std::uint16_t revision);

// The family's name as the chips' part numbers begin: "dsPIC30F", "dsPIC33F", "PIC24H", "PIC24F".
const char* familyName(DeviceFamily family);

// Program row length in instructions: 32 for dsPIC30F, 512 for the other families.
inline std::uint32_t programRowSize(DeviceFamily family) {
    return family == DeviceFamily::dsPic30F ? 32U : 512U;
}

}  // namespace kelvo
