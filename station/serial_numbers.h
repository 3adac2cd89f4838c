#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>

namespace kelvo {

// The serial numbers a station hands out, FIRST to LAST: each device that is updated takes the
// lowest number that is free. A number stays out of the range once a device that passed has it,
// and for good once it was handed to a device whose outcome was never recorded; a device that
// fails gives its number back. Safe to use from every port at once.
class SerialNumbers {
public:
    SerialNumbers(std::uint32_t first, std::uint32_t last, std::set<std::uint32_t> taken);
    std::optional<std::uint32_t> take();
    void giveBack(std::uint32_t number);
    std::uint32_t first() const { return first_; }
    std::uint32_t last() const { return last_; }

private:
    std::mutex mutex_;
    std::uint32_t first_;
    std::uint32_t last_;
    std::set<std::uint32_t> taken_;
};

}  // namespace kelvo
