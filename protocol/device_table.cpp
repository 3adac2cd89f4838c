#include "protocol/device_table.h"

namespace kelvo {

namespace {
constexpr DeviceFamily k30F = DeviceFamily::dsPic30F;
constexpr DeviceFamily k33F = DeviceFamily::dsPic33F;
constexpr DeviceFamily k24H = DeviceFamily::pic24H;
constexpr DeviceFamily k24F = DeviceFamily::pic24F;
}  // namespace

const DeviceEntry kDeviceTable[79] = {
    {"dsPIC30F2010", 0x0040, 1, k30F},
    {"dsPIC30F2011", 0x00C0, 1, k30F},
    {"dsPIC30F2011", 0x0240, 1, k30F},
    {"dsPIC30F2012", 0x00C2, 1, k30F},
    {"dsPIC30F2012", 0x0241, 1, k30F},
    {"dsPIC30F3010", 0x01C0, 1, k30F},
    {"dsPIC30F3011", 0x01C1, 1, k30F},
    {"dsPIC30F3012", 0x00C1, 1, k30F},
    {"dsPIC30F3013", 0x00C3, 1, k30F},
    {"dsPIC30F3014", 0x0160, 1, k30F},
    {"dsPIC30F4011", 0x0101, 1, k30F},
    {"dsPIC30F4012", 0x0100, 1, k30F},
    {"dsPIC30F4013", 0x0141, 1, k30F},
    {"dsPIC30F5011", 0x0080, 1, k30F},
    {"dsPIC30F5013", 0x0081, 1, k30F},
    {"dsPIC30F5015", 0x0200, 1, k30F},
    {"dsPIC30F5016", 0x0201, 1, k30F},
    {"dsPIC30F6010", 0x0188, 1, k30F},
    {"dsPIC30F6010A", 0x0281, 1, k30F},
    {"dsPIC30F6011", 0x0192, 1, k30F},
    {"dsPIC30F6011A", 0x02C0, 1, k30F},
    {"dsPIC30F6012", 0x0193, 1, k30F},
    {"dsPIC30F6012A", 0x02C2, 1, k30F},
    {"dsPIC30F6013", 0x0197, 1, k30F},
    {"dsPIC30F6013A", 0x02C1, 1, k30F},
    {"dsPIC30F6014", 0x0198, 1, k30F},
    {"dsPIC30F6014A", 0x02C3, 1, k30F},
    {"dsPIC30F6015", 0x0280, 1, k30F},

    {"dsPIC33FJ64GP206", 0x00C1, 3, k33F},
    {"dsPIC33FJ64GP306", 0x00CD, 3, k33F},
    {"dsPIC33FJ64GP310", 0x00CF, 3, k33F},
    {"dsPIC33FJ64GP706", 0x00D5, 3, k33F},
    {"dsPIC33FJ64GP708", 0x00D6, 3, k33F},
    {"dsPIC33FJ64GP710", 0x00D7, 3, k33F},
    {"dsPIC33FJ128GP206", 0x00D9, 3, k33F},
    {"dsPIC33FJ128GP306", 0x00E5, 3, k33F},
    {"dsPIC33FJ128GP310", 0x00E7, 3, k33F},
    {"dsPIC33FJ128GP706", 0x00ED, 3, k33F},
    {"dsPIC33FJ128GP708", 0x00EE, 3, k33F},
    {"dsPIC33FJ128GP710", 0x00EF, 3, k33F},
    {"dsPIC33FJ256GP506", 0x00F5, 3, k33F},
    {"dsPIC33FJ256GP506A", 0x07F5, 3, k33F},
    {"dsPIC33FJ256GP510", 0x00F7, 3, k33F},
    {"dsPIC33FJ256GP710", 0x00FF, 3, k33F},
    {"dsPIC33FJ64MC506", 0x0089, 3, k33F},
    {"dsPIC33FJ64MC508", 0x008A, 3, k33F},
    {"dsPIC33FJ64MC510", 0x008B, 3, k33F},
    {"dsPIC33FJ64MC706", 0x0091, 3, k33F},
    {"dsPIC33FJ64MC710", 0x0097, 3, k33F},
    {"dsPIC33FJ128MC506", 0x00A1, 3, k33F},
    {"dsPIC33FJ128MC510", 0x00A3, 3, k33F},
    {"dsPIC33FJ128MC706", 0x00A9, 3, k33F},
    {"dsPIC33FJ128MC708", 0x00AE, 3, k33F},
    {"dsPIC33FJ128MC710", 0x00AF, 3, k33F},
    {"dsPIC33FJ256MC510", 0x00B7, 3, k33F},
    {"dsPIC33FJ256MC710", 0x00BF, 3, k33F},

    {"PIC24HJ64GP206", 0x0041, 3, k24H},
    {"PIC24HJ64GP210", 0x0047, 3, k24H},
    {"PIC24HJ64GP506", 0x0049, 3, k24H},
    {"PIC24HJ64GP510", 0x004B, 3, k24H},
    {"PIC24HJ128GP206", 0x005D, 3, k24H},
    {"PIC24HJ128GP210", 0x005F, 3, k24H},
    {"PIC24HJ128GP306", 0x0065, 3, k24H},
    {"PIC24HJ128GP310", 0x0067, 3, k24H},
    {"PIC24HJ128GP506", 0x0061, 3, k24H},
    {"PIC24HJ128GP510", 0x0063, 3, k24H},
    {"PIC24HJ256GP206", 0x0071, 3, k24H},
    {"PIC24HJ256GP210", 0x0073, 3, k24H},
    {"PIC24HJ256GP610", 0x007B, 3, k24H},

    {"PIC24FJ64GA006", 0x0405, 3, k24F},
    {"PIC24FJ64GA008", 0x0408, 3, k24F},
    {"PIC24FJ64GA010", 0x040B, 3, k24F},
    {"PIC24FJ96GA006", 0x0406, 3, k24F},
    {"PIC24FJ96GA008", 0x0409, 3, k24F},
    {"PIC24FJ96GA010", 0x040C, 3, k24F},
    {"PIC24FJ128GA006", 0x0407, 3, k24F},
    {"PIC24FJ128GA008", 0x040A, 3, k24F},
    {"PIC24FJ128GA010", 0x040D, 3, k24F},

    {nullptr, 0, 0, k30F},
};

const DeviceEntry* lookupDevice(std::uint16_t deviceId, std::uint16_t revision) {
    for (const DeviceEntry* entry = kDeviceTable; entry->name != nullptr; ++entry) {
        if (entry->deviceId == deviceId && entry->revision == revision) return entry;
    }
    return nullptr;
}

const char* familyName(DeviceFamily family) {
    switch (family) {
        case DeviceFamily::dsPic30F: return "dsPIC30F";
        case DeviceFamily::dsPic33F: return "dsPIC33F";
        case DeviceFamily::pic24H: return "PIC24H";
        case DeviceFamily::pic24F: return "PIC24F";
        case DeviceFamily::none: break;
    }
    return "none";
}

DeviceFamily lookupFamily(std::uint16_t deviceId, std::uint16_t revision) {
    const DeviceEntry* entry = lookupDevice(deviceId, revision);
    return entry != nullptr ? entry->family : DeviceFamily::none;
}

}  // namespace kelvo
