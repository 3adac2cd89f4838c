#include "image/hex_file.h"

#include <cstring>

#include "common/console.h"

namespace kelvo {

namespace {

// Value of each character as a hex digit, or 0xFF for a character that is not one.
struct HexDigits {
    std::array<std::uint8_t, 256> value{};
    constexpr HexDigits() {
        for (auto& v : value) v = 0xFF;
        for (int c = '0'; c <= '9'; ++c)
            value[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c)
            value[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; ++c)
            value[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'A' + 10);
    }
};
constexpr HexDigits kHexDigits;

}  // namespace

bool LineReader::next(std::string_view& line) {
    spill_.clear();
    bool any = false;
    for (;;) {
        if (begin_ == end_) {
            begin_ = 0;
            end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
            if (end_ == 0) {
                line = spill_;
                return any;
            }
        }
        any = true;
        const char* start = buffer_.data() + begin_;
        const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
        if (newline == nullptr) {
            spill_.append(start, end_ - begin_);
            begin_ = end_;
            continue;
        }
        const auto length = static_cast<std::size_t>(newline - start);
        begin_ += length + 1;
        if (spill_.empty()) {
            line = std::string_view(start, length);
        } else {
            spill_.append(start, length);
            line = spill_;
        }
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return true;
    }
}

HexLine parseHexLine(std::string_view text, HexRecord& record, const char*& reason) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    if (end == 0 || text[0] == ';') return HexLine::skip;
    if (text[0] != ':') {
        reason = "missing record mark";
        return HexLine::bad;
    }
    const std::size_t digits = end - 1;
    // One pass over the digits: every character must be a hex digit, whatever the length; the
    // header, data and checksum bytes are decoded and summed on the way.
    const char* pair = text.data() + 1;
    const std::size_t pairs = digits / 2;
    std::uint8_t header[4] = {0, 0, 0, 0};
    unsigned bad = 0;
    unsigned sum = 0;
    for (std::size_t i = 0; i < pairs; ++i, pair += 2) {
        const std::uint8_t high = kHexDigits.value[static_cast<unsigned char>(pair[0])];
        const std::uint8_t low = kHexDigits.value[static_cast<unsigned char>(pair[1])];
        bad |= (high | low) & 0xF0U;
        const auto byte = static_cast<std::uint8_t>((high << 4) | (low & 0x0F));
        sum += byte;
        if (i < 4) {
            header[i] = byte;
        } else if (i - 4 < record.data.size()) {
            record.data[i - 4] = byte;
        }
    }
    if (digits % 2 != 0) bad |= kHexDigits.value[static_cast<unsigned char>(text[end - 1])] & 0xF0U;
    if (bad != 0) {
        reason = "not a hex digit";
        return HexLine::bad;
    }
    if (digits % 2 != 0 || pairs < 5 || pairs != static_cast<std::size_t>(header[0]) + 5) {
        reason = "record length mismatch";
        return HexLine::bad;
    }
    if ((sum & 0xFF) != 0) {
        reason = "checksum mismatch";
        return HexLine::bad;
    }
    record.byteCount = header[0];
    record.address = static_cast<std::uint16_t>((header[1] << 8) | header[2]);
    record.recordType = header[3];
    if (record.recordType > 5) {
        reason = "unknown record type";
        return HexLine::bad;
    }
    if (record.recordType == 4 && record.byteCount != 2) {
        reason = "record length mismatch";
        return HexLine::bad;
    }
    if (record.recordType == 0 && (record.address & 1U) != 0) {
        reason = "record not aligned to a 16-bit word";
        return HexLine::bad;
    }
    return HexLine::record;
}

bool checkHexFile(std::FILE* file) {
    LineReader reader(file);
    std::string_view line;
    HexRecord record;
    unsigned lineNumber = 0;
    bool good = true;
    while (good && reader.next(line)) {
        ++lineNumber;
        const char* reason = "";
        if (parseHexLine(line, record, reason) == HexLine::bad) {
            say("\nBad Hex file: line %u: %s\n", lineNumber, reason);
            good = false;
        }
    }
    if (good && reader.failed()) {
        say("\nBad Hex file: line %u: %s\n", lineNumber + 1, "read error");
        good = false;
    }
    std::rewind(file);
    return good;
}

}  // namespace kelvo
