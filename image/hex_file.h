#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace kelvo {

// One Intel HEX record as it stands in the file.
struct HexRecord {
    std::uint8_t byteCount = 0;
    std::uint16_t address = 0;  // the record's 16-bit byte address field
    std::uint8_t recordType = 0;
    std::array<std::uint8_t, 255> data{};
};

enum class HexLine { record, skip, bad };

// Reads a text file line by line, each line of any length and without its line end (LF or
// CRLF). Bytes of any value, NUL included, stay in the line.
class LineReader {
public:
    explicit LineReader(std::FILE* file) : file_(file) {}
    // False at the end of the file. The view stays valid until the next call.
    bool next(std::string_view& line);
    bool failed() const { return std::ferror(file_) != 0; }

private:
    std::FILE* file_;
    std::array<char, 65536> buffer_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::string spill_;  // a line that does not fit in what the buffer holds
};

// Parses one line (without its line end). A blank line or a ";" comment gives HexLine::skip; a
// line that is not a well-formed record gives HexLine::bad with the reason in `reason`.
HexLine parseHexLine(std::string_view line, HexRecord& record, const char*& reason);

// Reads the whole file and checks every line. The first bad line is reported as
// "Bad Hex file: line N: reason"; the file is left rewound either way.
bool checkHexFile(std::FILE* file);

}  // namespace kelvo
