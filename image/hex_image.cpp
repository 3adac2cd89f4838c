#include "image/hex_image.h"

#include <new>

namespace kelvo {

HexImage::Page* HexImage::pageFor(std::uint32_t number) {
    if (last_ != nullptr && lastNumber_ == number) return last_;
    auto found = pages_.find(number);
    if (found == pages_.end()) {
        if (pages_.size() >= kMaxPages) return nullptr;
        std::unique_ptr<Page> page(new (std::nothrow) Page);
        if (!page) return nullptr;
        page->present.reset(new (std::nothrow) Bits{});
        if (!page->present) return nullptr;
        found = pages_.emplace(number, std::move(page)).first;
    }
    lastNumber_ = number;
    last_ = found->second.get();
    return last_;
}

bool HexImage::storeBytes(std::uint32_t firstWord, const std::uint8_t* bytes, std::size_t count) {
    std::uint32_t word = firstWord;
    std::size_t at = 0;
    while (at < count) {
        Page* page = pageFor(word / kPageWords);
        if (page == nullptr) return false;
        // The words of this page, up to its end or the end of the bytes.
        std::uint32_t index = word % kPageWords;
        const std::size_t fit = std::size_t{kPageWords - index} * 2;
        const std::size_t stop = count - at < fit ? count : at + fit;
        for (; at + 1 < stop; at += 2, ++index) {
            page->words[index] = static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
            page->mark(index);
        }
        if (at < stop) {  // the high byte alone: the low byte stays as it was
            std::uint16_t& last = page->words[index];
            last = static_cast<std::uint16_t>((last & 0x00FFU) | (bytes[at] << 8));
            page->mark(index);
            ++at;
            ++index;
        }
        word += index - word % kPageWords;
    }
    return true;
}

}  // namespace kelvo
