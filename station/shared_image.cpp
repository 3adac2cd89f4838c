#include "station/shared_image.h"

#include <cstdio>

namespace kelvo {

std::shared_ptr<const PreparedRows> SharedImage::rowsFor(DeviceFamily family) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<const PreparedRows>& rows = rows_[family];
    if (!rows) rows = prepareRows(image_, family);
    return rows;
}

ImageSource::Status DeviceImage::prepare(DeviceFamily family, std::shared_ptr<const PreparedRows>& rows) {
    rows = shared_.rowsFor(family);
    return rows ? Status::ready : Status::noMemory;
}

bool DeviceImage::personalise(RowSet& rows) {
    if (!serial_) return true;
    const std::uint32_t s = *serial_;
    // In the file's byte order: S0 S1 00 00 at the first instruction, S2 S3 00 00 at the second.
    const std::uint16_t words[kSerialWords] = {
        static_cast<std::uint16_t>((s & 0xFFU) << 8 | ((s >> 8) & 0xFFU)), 0x0000,
        static_cast<std::uint16_t>(((s >> 16) & 0xFFU) << 8 | ((s >> 24) & 0xFFU)), 0x0000};
    for (std::uint32_t i = 0; i < kSerialWords; ++i) {
        if (!rows.overlay(serialAt_ + i, words[i])) {
            char text[160];
            std::snprintf(
                text, sizeof text,
                "The serial number's place, word address 0x%X, is outside this chip's program memory.",
                serialAt_);
            problem_ = text;
            return false;
        }
    }
    return true;
}

}  // namespace kelvo
