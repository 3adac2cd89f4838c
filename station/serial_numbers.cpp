#include "station/serial_numbers.h"

#include <utility>

namespace kelvo {

SerialNumbers::SerialNumbers(std::uint32_t first, std::uint32_t last, std::set<std::uint32_t> taken)
    : first_(first), last_(last), taken_(std::move(taken)) {}

std::optional<std::uint32_t> SerialNumbers::take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t candidate = first_;
    for (auto it = taken_.lower_bound(first_); it != taken_.end() && *it == candidate; ++it) ++candidate;
    if (candidate > last_) return std::nullopt;
    const auto number = static_cast<std::uint32_t>(candidate);
    taken_.insert(number);
    return number;
}

void SerialNumbers::giveBack(std::uint32_t number) {
    const std::lock_guard<std::mutex> lock(mutex_);
    taken_.erase(number);
}

}  // namespace kelvo
