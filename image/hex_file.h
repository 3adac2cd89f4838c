#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "image/hex_image.h"

namespace kelvo {

class StopRequest;
class Sha256;

// One Intel HEX record as it stands in the file.
struct HexRecord {
    std::uint8_t byteCount = 0;
    std::uint16_t address = 0;  // the record's 16-bit byte address field
    std::uint8_t recordType = 0;
    std::array<std::uint8_t, 255> data{};
};

enum class HexLine { record, skip, bad };

// The longest line the reader takes: a record is at most 521 characters, and a few blanks may
// follow it.
inline constexpr std::size_t kMaxLineLength = 1024;

// Reads a text file line by line as editors and old tools leave it: LF, CRLF and lone CR line
// ends, mixed; a last line without a line end; a UTF-8 byte-order mark before the first line
// (skipped); a 0x1A byte (the DOS end-of-file mark) ends the text. Other bytes, NUL included,
// stay in the line. A line longer than kMaxLineLength is not read into memory.
class LineReader {
public:
    enum class Result { line, end, tooLong, failed };

    // Every byte read is also given to `digest`, when there is one.
    explicit LineReader(std::FILE* file, Sha256* digest = nullptr) : file_(file), digest_(digest) {}
    // The view stays valid until the next call.
    Result next(std::string_view& line);

private:
    bool fill();  // false at the end of the text

    std::FILE* file_;
    Sha256* digest_;
    std::array<char, 16384> buffer_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::array<char, kMaxLineLength> carry_{};  // the start of a line that the buffer split
    std::size_t carried_ = 0;
    bool started_ = false;    // the byte-order mark has been looked for
    bool textEnded_ = false;  // end of file, or the 0x1A mark
    bool failed_ = false;
    bool afterCr_ = false;  // the last line ended with CR: a LF right after it belongs to it
};

// Parses one line (without its line end). A blank line or a ";" comment gives HexLine::skip; a
// line that is not a well-formed record gives HexLine::bad with the reason in `reason`.
HexLine parseHexLine(std::string_view line, HexRecord& record, const char*& reason);

enum class HexRead { good, bad, interrupted };

// Where a file is bad: the line (counted from 1) and the reason.
struct HexProblem {
    unsigned line = 0;
    const char* reason = "";
};

// Reads the whole file once, checking every line, and decodes its data into `image`: data (00),
// end-of-file (01; records after it still count, so concatenated files work), extended segment
// (02) and linear (04) address records; start addresses (03, 05) are ignored. The first bad line
// is given in `problem`; so is a file whose last record is not an end-of-file record (it may be
// cut short). Ends early with HexRead::interrupted when `stop` is requested. Every byte read is
// also given to `digest`, when there is one.
HexRead readHexFile(std::FILE* file, HexImage& image, HexProblem& problem, const StopRequest* stop = nullptr,
                    Sha256* digest = nullptr);

}  // namespace kelvo
