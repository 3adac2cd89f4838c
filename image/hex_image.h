#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

namespace kelvo {

// The data of a HEX file, decoded once and kept until the rows exist: every 16-bit word the file
// gives, by target word address. Of a word's two bytes the one at the even byte address is the
// high byte; a byte that no record gives is 0xFF. A later record overwrites an earlier one byte by
// byte. Stored sparsely in pages, so that a file spread over the whole address space costs only
// the pages it touches, never more than kMaxImageBytes in all.
class HexImage {
public:
    static constexpr std::uint32_t kPageWords = 2048;
    // The most data an image holds: twice what the rows of the largest chip can take (4 MiB of
    // program memory and a few KiB of EEPROM and configuration words).
    static constexpr std::size_t kMaxImageBytes = std::size_t{8} << 20;
    static constexpr std::size_t kMaxPages = kMaxImageBytes / (kPageWords * 2);

    // Stores `count` bytes as consecutive words from `firstWord` on: bytes[0] is the high byte of
    // the first word, bytes[1] its low byte, and so on; an odd count gives the last word its high
    // byte only. False when a word would need a page beyond kMaxPages (the words before it are
    // stored).
    bool storeBytes(std::uint32_t firstWord, const std::uint8_t* bytes, std::size_t count);

    // Calls visit(wordAddress, value) for every word the file gives, by ascending word address.
    template <typename Visit>
    void forEachWord(Visit&& visit) const {
        for (const auto& [number, page] : pages_) {
            const std::uint32_t first = number * kPageWords;
            if (!page->present) {
                for (std::uint32_t w = 0; w < kPageWords; ++w) visit(first + w, page->words[w]);
                continue;
            }
            for (std::uint32_t w = 0; w < kPageWords; w += 64) {
                std::uint64_t bits = (*page->present)[w / 64];
                while (bits != 0) {
                    const auto bit = static_cast<std::uint32_t>(std::countr_zero(bits));
                    bits &= bits - 1;
                    visit(first + w + bit, page->words[w + bit]);
                }
            }
        }
    }

private:
    using Bits = std::array<std::uint64_t, kPageWords / 64>;
    struct Page {
        Page() { words.fill(0xFFFF); }
        void mark(std::uint32_t index) {
            if (!present) return;
            std::uint64_t& bits = (*present)[index / 64];
            const std::uint64_t bit = std::uint64_t{1} << (index % 64);
            if ((bits & bit) != 0) return;
            bits |= bit;
            if (++count == kPageWords) present.reset();
        }
        std::array<std::uint16_t, kPageWords> words;
        // Which words the file gives; dropped once it gives every word of the page.
        std::unique_ptr<Bits> present;
        std::uint32_t count = 0;
    };
    Page* pageFor(std::uint32_t number);

    std::map<std::uint32_t, std::unique_ptr<Page>> pages_;
    // The page used last: records mostly follow each other through memory.
    std::uint32_t lastNumber_ = 0;
    Page* last_ = nullptr;
};

}  // namespace kelvo
