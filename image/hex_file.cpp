#include "image/hex_file.h"

#include <cstring>

#include "common/console.h"

namespace kelvo {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool LineReader::next(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
        if (begin_ == end_) {
            begin_ = 0;
            end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
            if (end_ == 0) return any;
        }
        any = true;
        const char* start = buffer_.data() + begin_;
        const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
        if (newline == nullptr) {
            line.append(start, end_ - begin_);
            begin_ = end_;
            continue;
        }
        line.append(start, static_cast<std::size_t>(newline - start));
        begin_ += static_cast<std::size_t>(newline - start) + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }
}

HexLine parseHexLine(const std::string& text, HexRecord& record, const char*& reason) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    if (end == 0 || text[0] == ';') return HexLine::skip;
    if (text[0] != ':') {
        reason = "missing record mark";
        return HexLine::bad;
    }
    const std::size_t digits = end - 1;
    for (std::size_t i = 1; i < end; ++i) {
        if (hexValue(text[i]) < 0) {
            reason = "not a hex digit";
            return HexLine::bad;
        }
    }
    const std::size_t bytes = digits / 2;
    if (digits % 2 != 0 || bytes < 5) {
        reason = "record length mismatch";
        return HexLine::bad;
    }
    auto byteAt = [&](std::size_t i) {
        return static_cast<std::uint8_t>(hexValue(text[1 + 2 * i]) * 16 + hexValue(text[2 + 2 * i]));
    };
    const std::uint8_t count = byteAt(0);
    if (bytes != static_cast<std::size_t>(count) + 5) {
        reason = "record length mismatch";
        return HexLine::bad;
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i < bytes; ++i) sum += byteAt(i);
    if ((sum & 0xFF) != 0) {
        reason = "checksum mismatch";
        return HexLine::bad;
    }
    record.byteCount = count;
    record.address = static_cast<std::uint16_t>((byteAt(1) << 8) | byteAt(2));
    record.recordType = byteAt(3);
    for (std::size_t i = 0; i < count; ++i) record.data[i] = byteAt(4 + i);
    if (record.recordType > 5) {
        reason = "unknown record type";
        return HexLine::bad;
    }
    if (record.recordType == 4 && count != 2) {
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
    std::string line;
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
