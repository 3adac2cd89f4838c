#include "image/hex_file.h"

#include <cstring>

#include "common/sha256.h"
#include "common/stop_request.h"

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

bool LineReader::fill() {
    if (textEnded_) return false;
    // A stream that has failed is not read again (a pipe interrupted by Ctrl-C would block).
    const std::size_t got =
        std::ferror(file_) != 0 ? 0 : std::fread(buffer_.data(), 1, buffer_.size(), file_);
    begin_ = 0;
    end_ = got;
    if (digest_ != nullptr) digest_->update(buffer_.data(), got);
    if (got == 0) {
        failed_ = std::ferror(file_) != 0;
        textEnded_ = true;
        return false;
    }
    if (!started_) {
        started_ = true;
        if (got >= 3 && std::memcmp(buffer_.data(), "\xEF\xBB\xBF", 3) == 0) begin_ = 3;
    }
    return true;
}

namespace {
// The first line end (LF or CR) or 0x1A mark in [from, to), or nullptr.
const char* findLineEnd(const char* from, const char* to) {
    const auto* newline =
        static_cast<const char*>(std::memchr(from, '\n', static_cast<std::size_t>(to - from)));
    const char* limit = newline != nullptr ? newline : to;
    if (const auto* cr =
            static_cast<const char*>(std::memchr(from, '\r', static_cast<std::size_t>(limit - from)))) {
        limit = cr;
    }
    if (const auto* mark =
            static_cast<const char*>(std::memchr(from, 0x1A, static_cast<std::size_t>(limit - from)))) {
        limit = mark;
    }
    return limit == to ? nullptr : limit;
}
}  // namespace

LineReader::Result LineReader::next(std::string_view& line) {
    carried_ = 0;
    for (;;) {
        if (begin_ == end_ && !fill()) {
            if (failed_) return Result::failed;
            if (carried_ == 0) return Result::end;
            line = std::string_view(carry_.data(), carried_);  // the last line has no line end
            return Result::line;
        }
        if (afterCr_) {
            afterCr_ = false;
            if (buffer_[begin_] == '\n') ++begin_;
            continue;
        }
        const char* start = buffer_.data() + begin_;
        const char* stop = findLineEnd(start, buffer_.data() + end_);
        const auto length =
            static_cast<std::size_t>((stop != nullptr ? stop : buffer_.data() + end_) - start);
        if (carried_ + length > kMaxLineLength) return Result::tooLong;
        if (stop == nullptr) {
            std::memcpy(carry_.data() + carried_, start, length);
            carried_ += length;
            begin_ = end_;
            continue;
        }
        begin_ += length + 1;
        if (*stop == '\r') afterCr_ = true;
        if (*stop == 0x1A) {
            textEnded_ = true;
            begin_ = end_;
            if (carried_ + length == 0) return Result::end;
        }
        if (carried_ == 0) {
            line = std::string_view(start, length);
        } else {
            std::memcpy(carry_.data() + carried_, start, length);
            line = std::string_view(carry_.data(), carried_ + length);
        }
        return Result::line;
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
    // Extended address records carry exactly the bytes of their type.
    const bool extended = record.recordType >= 2;
    if (extended && record.byteCount != (record.recordType % 2 == 0 ? 2 : 4)) {
        reason = "record length mismatch";
        return HexLine::bad;
    }
    if (record.recordType == 0 && (record.address & 1U) != 0) {
        reason = "record not aligned to a 16-bit word";
        return HexLine::bad;
    }
    return HexLine::record;
}

namespace {

HexRead badLine(HexProblem& problem, unsigned lineNumber, const char* reason) {
    problem = {lineNumber, reason};
    return HexRead::bad;
}

// The target word address of a byte address: half of it, in signed 32-bit arithmetic as the
// address has always been computed.
std::uint32_t wordAddressOf(std::uint32_t byteAddress) {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(byteAddress) / 2);
}

// Stores the bytes of a data record. With a segment base (type 02) the address wraps within its
// 64 KiB segment; with a linear base (type 04) a record that crosses 64 KiB goes on linearly.
bool storeData(const HexRecord& record, std::uint32_t base, bool segmented, HexImage& image) {
    std::size_t first = record.byteCount;
    if (segmented && record.address + first > 0x10000U) first = 0x10000U - record.address;
    return image.storeBytes(wordAddressOf(base + record.address), record.data.data(), first) &&
           image.storeBytes(wordAddressOf(base), record.data.data() + first, record.byteCount - first);
}

}  // namespace

HexRead readHexFile(std::FILE* file, HexImage& image, HexProblem& problem, const StopRequest* stop,
                    Sha256* digest) {
    LineReader reader(file, digest);
    std::string_view line;
    HexRecord record;
    unsigned lineNumber = 0;
    std::uint32_t base = 0;
    bool segmented = false;
    int lastType = -1;
    for (;;) {
        const LineReader::Result got = reader.next(line);
        if (stop != nullptr && stop->requested()) return HexRead::interrupted;
        if (got == LineReader::Result::end) break;
        ++lineNumber;
        if (got == LineReader::Result::failed) return badLine(problem, lineNumber, "read error");
        if (got == LineReader::Result::tooLong) return badLine(problem, lineNumber, "line too long");
        const char* reason = "";
        const HexLine kind = parseHexLine(line, record, reason);
        if (kind == HexLine::skip) continue;
        if (kind == HexLine::bad) return badLine(problem, lineNumber, reason);
        lastType = record.recordType;
        const auto value = static_cast<std::uint32_t>((record.data[0] << 8) | record.data[1]);
        switch (record.recordType) {
            case 0:
                if (!storeData(record, base, segmented, image)) {
                    return badLine(problem, lineNumber, "more data than any chip can hold");
                }
                break;
            case 2:
                base = value << 4;
                segmented = true;
                break;
            case 4:
                base = value << 16;
                segmented = false;
                break;
            default: break;
        }
    }
    if (lastType != 1)
        return badLine(problem, lineNumber + 1, "no end-of-file record (the file may be cut short)");
    // The digest is of the whole file: what follows a 0x1A end mark too.
    std::array<char, 16384> rest{};
    for (std::size_t n = 0; digest != nullptr && (n = std::fread(rest.data(), 1, rest.size(), file)) > 0;) {
        digest->update(rest.data(), n);
    }
    return HexRead::good;
}

}  // namespace kelvo
