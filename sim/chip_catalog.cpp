// The chips the simulated bootloader can pretend to be, with the identification values that
// such a chip's bootloader reports. Kept apart from the host's own chip table on purpose, so
// that a mistake in one shows up against the other.
#include "sim/chip_catalog.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace kelvosim {

namespace {

struct CatalogGroup {
    int family;
    std::uint8_t revision;
    const char* chips;  // "name:id" pairs, id in hex
};

const CatalogGroup kCatalog[] = {
    {0, 1,
     "dsPIC30F2010:0040 dsPIC30F2011:00C0 dsPIC30F2011:0240 dsPIC30F2012:00C2 dsPIC30F2012:0241 "
     "dsPIC30F3010:01C0 dsPIC30F3011:01C1 dsPIC30F3012:00C1 dsPIC30F3013:00C3 dsPIC30F3014:0160 "
     "dsPIC30F4011:0101 dsPIC30F4012:0100 dsPIC30F4013:0141 dsPIC30F5011:0080 dsPIC30F5013:0081 "
     "dsPIC30F5015:0200 dsPIC30F5016:0201 dsPIC30F6010:0188 dsPIC30F6010A:0281 "
     "dsPIC30F6011:0192 dsPIC30F6011A:02C0 dsPIC30F6012:0193 dsPIC30F6012A:02C2 "
     "dsPIC30F6013:0197 dsPIC30F6013A:02C1 dsPIC30F6014:0198 dsPIC30F6014A:02C3 "
     "dsPIC30F6015:0280"},
    {1, 3,
     "dsPIC33FJ64GP206:00C1 dsPIC33FJ64GP306:00CD dsPIC33FJ64GP310:00CF dsPIC33FJ64GP706:00D5 "
     "dsPIC33FJ64GP708:00D6 dsPIC33FJ64GP710:00D7 dsPIC33FJ128GP206:00D9 "
     "dsPIC33FJ128GP306:00E5 dsPIC33FJ128GP310:00E7 dsPIC33FJ128GP706:00ED "
     "dsPIC33FJ128GP708:00EE dsPIC33FJ128GP710:00EF dsPIC33FJ256GP506:00F5 "
     "dsPIC33FJ256GP506A:07F5 dsPIC33FJ256GP510:00F7 dsPIC33FJ256GP710:00FF "
     "dsPIC33FJ64MC506:0089 dsPIC33FJ64MC508:008A dsPIC33FJ64MC510:008B dsPIC33FJ64MC706:0091 "
     "dsPIC33FJ64MC710:0097 dsPIC33FJ128MC506:00A1 dsPIC33FJ128MC510:00A3 "
     "dsPIC33FJ128MC706:00A9 dsPIC33FJ128MC708:00AE dsPIC33FJ128MC710:00AF "
     "dsPIC33FJ256MC510:00B7 dsPIC33FJ256MC710:00BF"},
    {2, 3,
     "PIC24HJ64GP206:0041 PIC24HJ64GP210:0047 PIC24HJ64GP506:0049 PIC24HJ64GP510:004B "
     "PIC24HJ128GP206:005D PIC24HJ128GP210:005F PIC24HJ128GP306:0065 PIC24HJ128GP310:0067 "
     "PIC24HJ128GP506:0061 PIC24HJ128GP510:0063 PIC24HJ256GP206:0071 PIC24HJ256GP210:0073 "
     "PIC24HJ256GP610:007B"},
    {3, 3,
     "PIC24FJ64GA006:0405 PIC24FJ64GA008:0408 PIC24FJ64GA010:040B PIC24FJ96GA006:0406 "
     "PIC24FJ96GA008:0409 PIC24FJ96GA010:040C PIC24FJ128GA006:0407 PIC24FJ128GA008:040A "
     "PIC24FJ128GA010:040D"},
};

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool findChip(const std::string& name, SimChip& chip) {
    for (const CatalogGroup& group : kCatalog) {
        std::istringstream words(group.chips);
        std::string word;
        while (words >> word) {
            const std::size_t colon = word.find(':');
            if (!sameName(word.substr(0, colon), name)) continue;
            chip.name = word.substr(0, colon);
            chip.deviceId = static_cast<std::uint16_t>(std::strtoul(word.c_str() + colon + 1, nullptr, 16));
            chip.revision = group.revision;
            chip.family = group.family;
            return true;
        }
    }
    return false;
}

}  // namespace kelvosim
