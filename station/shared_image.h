#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "image/hex_image.h"
#include "update/device_update.h"

namespace kelvo {

// The station's one image, checked once: its rows are prepared once per chip family, the first
// time a device of that family is seen, and shared read-only by every port.
class SharedImage {
public:
    explicit SharedImage(HexImage image) : image_(std::move(image)) {}
    // The formatted rows for `family`; nullptr when they cannot be created (memory).
    std::shared_ptr<const PreparedRows> rowsFor(DeviceFamily family);

private:
    std::mutex mutex_;
    HexImage image_;
    std::map<DeviceFamily, std::shared_ptr<const PreparedRows>> rows_;
};

// Where a station writes a device's serial number: the low 16 bits of the two instructions at
// `wordAddress` and wordAddress + 2 (target word addresses), their upper bytes 0x00.
inline constexpr std::uint32_t kSerialWords = 4;  // word addresses taken, from wordAddress on

// One device's image: the shared rows, with its serial number (if any) in rows of its own.
class DeviceImage : public ImageSource {
public:
    DeviceImage(SharedImage& shared, std::optional<std::uint32_t> serial, std::uint32_t serialAt)
        : shared_(shared), serial_(serial), serialAt_(serialAt) {}
    Status prepare(DeviceFamily family, std::shared_ptr<const PreparedRows>& rows) override;
    bool personalise(RowSet& rows) override;
    // Why personalise refused the device.
    const std::string& problem() const { return problem_; }

private:
    SharedImage& shared_;
    std::optional<std::uint32_t> serial_;
    std::uint32_t serialAt_;
    std::string problem_;
};

}  // namespace kelvo
