#include "image/hex_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "image/hex_loader.h"
#include "image/memory_row.h"
#include "tests/test_support.h"

namespace {

using kelvotest::hexRecord;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File fileWith(const std::string& text) {
    File file(std::tmpfile());
    std::fwrite(text.data(), 1, text.size(), file.get());
    std::rewind(file.get());
    return file;
}

// Reads a file: "" when it passed, else "line N: reason".
std::string check(const std::string& text) {
    File file = fileWith(text);
    kelvo::HexImage image;
    kelvo::HexProblem problem;
    const kelvo::HexRead read = kelvo::readHexFile(file.get(), image, problem);
    if (read == kelvo::HexRead::good) return "";
    EXPECT_EQ(read, kelvo::HexRead::bad);
    return "line " + std::to_string(problem.line) + ": " + problem.reason;
}

struct CheckCase {
    const char* name;
    std::string file;
    std::string said;  // "" when the file is accepted, else "line N: reason"
};

// Data records spread over more pages of the address space than an image may hold.
std::string scatteredOverTooManyPages() {
    std::string text;
    for (std::uint32_t page = 0; page <= kelvo::HexImage::kMaxPages; ++page) {
        const std::uint32_t byteAddress = page * kelvo::HexImage::kPageWords * 2;
        if (byteAddress % 0x10000 == 0) {
            text += hexRecord(
                4, 0,
                {static_cast<std::uint8_t>(byteAddress >> 24), static_cast<std::uint8_t>(byteAddress >> 16)});
        }
        text += hexRecord(0, static_cast<std::uint16_t>(byteAddress), {0x55});
    }
    return text + hexRecord(1, 0, {});
}

TEST(HexCheck, AcceptsAndRefusesEveryFormWithItsLineNumber) {
    const std::string data = hexRecord(0, 0, {1, 2});
    const std::string eof = hexRecord(1, 0, {});
    std::string lowercaseWithBlanks;
    for (char c : data)
        lowercaseWithBlanks +=
            c == '\n' ? std::string(" \t\r\n") : std::string(1, static_cast<char>(std::tolower(c)));
    std::string withNul = data;
    withNul.insert(3, 1, '\0');
    auto crOnly = [](std::string text) {
        std::replace(text.begin(), text.end(), '\n', '\r');
        return text;
    };
    const std::string longest = hexRecord(0, 0, std::vector<std::uint8_t>(255, 7));
    const CheckCase cases[] = {
        {"LfFile", data + eof, ""},
        {"CrlfLowercaseBlanksCommentsBlankLines",
         "; built by a toolchain\r\n\r\n" + lowercaseWithBlanks + eof, ""},
        {"LoneCrAndMixedLineEnds", data.substr(0, data.size() - 1) + "\r" + data + "\r\n\r" + eof, ""},
        {"LastLineWithoutLineEnd", data + ":00000001FF", ""},
        {"ByteOrderMark", "\xEF\xBB\xBF" + data + eof, ""},
        {"DosEndOfFileMarkEndsTheText", data + eof + "\x1A" + "garbage\n", ""},
        {"BlankAndCommentLinesAfterTheEnd", data + eof + "\n  \n; end\n", ""},
        {"ConcatenatedFiles", data + eof + data + eof, ""},
        {"SegmentAndStartAddressRecords",
         hexRecord(2, 0, {0x10, 0}) + hexRecord(3, 0, {0, 0, 1, 0}) + hexRecord(5, 0, {0, 0, 1, 0}) + data +
             eof,
         ""},
        {"EmptyFile", "", "line 1: no end-of-file record (the file may be cut short)"},
        {"OnlyBlankLines", "\n\r\n \n", "line 4: no end-of-file record (the file may be cut short)"},
        {"CutAtALineBoundary", data + data, "line 3: no end-of-file record (the file may be cut short)"},
        {"OnlyStartAddresses", hexRecord(5, 0, {0, 0, 1, 0}),
         "line 2: no end-of-file record (the file may be cut short)"},
        {"DataAfterTheLastEnd", data + eof + data,
         "line 4: no end-of-file record (the file may be cut short)"},
        {"DosMarkBeforeTheEnd", data + "\x1A" + eof,
         "line 2: no end-of-file record (the file may be cut short)"},
        {"MissingRecordMark", data + "0200000401F009\n" + eof, "line 2: missing record mark"},
        {"ByteOrderMarkNotAtTheStart", data + "\xEF\xBB\xBF" + eof, "line 2: missing record mark"},
        {"NotAHexDigit", data + ":0200000401F0G9\n" + eof, "line 2: not a hex digit"},
        {"BlanksInsideARecord", data + ":02 0000 04 01F0 09\n" + eof, "line 2: not a hex digit"},
        {"Nul", withNul + eof, "line 1: not a hex digit"},
        {"OddNumberOfDigits", data + ":0200000401F00\n" + eof, "line 2: record length mismatch"},
        {"ShorterThanAHeader", data + ":02000004\n" + eof, "line 2: record length mismatch"},
        {"CountSaysMore", data + ":0300000401F009\n" + eof, "line 2: record length mismatch"},
        {"ChecksumMismatch", "\r\n" + data + ":0200000401F00A\n" + eof, "line 3: checksum mismatch"},
        {"UnknownRecordType", data + ":00000006FA\n" + eof, "line 2: unknown record type"},
        {"LinearAddressOfOneByte", data + hexRecord(4, 0, {1}) + eof, "line 2: record length mismatch"},
        {"SegmentAddressOfFourBytes", data + hexRecord(2, 0, {1, 2, 3, 4}) + eof,
         "line 2: record length mismatch"},
        {"StartSegmentAddressOfTwoBytes", data + hexRecord(3, 0, {1, 2}) + eof,
         "line 2: record length mismatch"},
        {"StartLinearAddressOfTwoBytes", data + hexRecord(5, 0, {1, 2}) + eof,
         "line 2: record length mismatch"},
        {"OddAddress", hexRecord(0, 0x0001, {0xAA, 0xBB}) + eof,
         "line 1: record not aligned to a 16-bit word"},
        {"LineTooLong", data + ":" + std::string(2000, '0') + "\n" + eof, "line 2: line too long"},
        {"EndlessLine", std::string(1 << 20, '\0'), "line 1: line too long"},
        // The longest record (521 characters) with blanks after it up to the bound, and one beyond.
        {"LineOfTheLongestLengthTaken", longest.substr(0, 521) + std::string(1024 - 521, ' ') + "\n" + eof,
         ""},
        {"OneCharacterLonger", longest.substr(0, 521) + std::string(1025 - 521, ' ') + "\n" + eof,
         "line 1: line too long"},
        {"ScatteredOverTooManyPages", scatteredOverTooManyPages(),
         "line " + std::to_string(kelvo::HexImage::kMaxPages + kelvo::HexImage::kMaxPages / 16 + 2) +
             ": more data than any chip can hold"},
        {"CrOnlyFileCountsLines", crOnly(data + data + data),
         "line 4: no end-of-file record (the file may be cut short)"},
    };
    for (const CheckCase& c : cases) EXPECT_EQ(check(c.file), c.said) << c.name;
}

class HexLoad : public ::testing::Test {
protected:
    void SetUp() override { table = std::make_unique<kelvo::RowTable>(); }

    // Loads the records into fresh rows; returns the words that no row sends.
    std::vector<std::uint32_t> load(const std::string& text,
                                    kelvo::DeviceFamily family = kelvo::DeviceFamily::dsPic30F) {
        kelvo::freeRows(table.get());
        EXPECT_TRUE(kelvo::allocateRows(*table, family));
        File file = fileWith(text + hexRecord(1, 0, {}));
        kelvo::HexImage image;
        kelvo::HexProblem problem;
        EXPECT_EQ(kelvo::readHexFile(file.get(), image, problem), kelvo::HexRead::good);
        const kelvo::Placement placement = kelvo::placeImage(image, *table);
        placed = placement.placed;
        for (std::size_t slot = 0; slot < kelvo::kUsedSlots; ++slot) table->slots[slot]->formatRow();
        return placement.outOfRange;
    }
    // The transmit byte at `index` of the row that holds `wordAddress`.
    std::uint8_t tx(std::uint32_t wordAddress, std::size_t index) const {
        const std::ptrdiff_t slot = kelvo::slotForAddress(*table, wordAddress);
        return table->slots[static_cast<std::size_t>(slot)]->txByte(index);
    }
    bool emptyAt(std::uint32_t wordAddress) const {
        return table->slots[static_cast<std::size_t>(kelvo::slotForAddress(*table, wordAddress))]
                   ->isEmpty() == 1;
    }
    std::unique_ptr<kelvo::RowTable> table;
    std::size_t placed = 0;
};

TEST_F(HexLoad, WordAddressesFromByteAddressesAndExtendedRecords) {
    EXPECT_TRUE(load(hexRecord(0, 0x0002, {0xA1, 0xA2, 0xB1, 0xB2})).empty());
    EXPECT_EQ(tx(0, 2), 0xA1);  // word address 1: bytes 2 and 3 of instruction 0
    EXPECT_EQ(tx(0, 3), 0xA2);
    EXPECT_EQ(tx(0, 4), 0xB1);  // word address 2

    load(hexRecord(4, 0, {0x00, 0x01}) + hexRecord(0, 0, {0x12, 0x34}), kelvo::DeviceFamily::dsPic33F);
    const std::ptrdiff_t slot = kelvo::slotForAddress(*table, 0x8000);
    EXPECT_EQ(slot, 32);
    EXPECT_EQ(tx(0x8000, 0), 0x12);

    load(hexRecord(4, 0, {0x01, 0xF0}) + hexRecord(0, 0, {0xC1, 0xC2, 0x00, 0x00}) + hexRecord(1, 0, {}));
    EXPECT_FALSE(emptyAt(kelvo::kConfigStart));
    EXPECT_EQ(tx(kelvo::kConfigStart, 0), 0xC1);
    EXPECT_EQ(tx(kelvo::kConfigStart, 1), 0xC2);
}

TEST_F(HexLoad, EveryByteLandsWhereSrecCatPutsIt) {
    const std::string records =
        // A segment base: the record wraps within its 64 KiB segment.
        hexRecord(2, 0, {0x10, 0x00}) + hexRecord(0, 0xFFFC, {1, 2, 3, 4, 5, 6, 7, 8}) +
        // A linear base: the record goes on past 64 KiB.
        hexRecord(4, 0, {0x00, 0x02}) + hexRecord(0, 0xFFFC, {9, 10, 11, 12, 13, 14, 15, 16}) +
        hexRecord(4, 0, {0x00, 0x00}) +
        // An odd count does not erase the byte that an earlier record gave.
        hexRecord(0, 0x0102, {0xA2, 0xA3}) + hexRecord(0, 0x0100, {0xB0, 0xB1, 0xB2}) +
        // A later record overwrites an earlier one byte by byte; a lone byte leaves its pair erased.
        hexRecord(0, 0x0200, {0xC0, 0xC1, 0xC2, 0xC3}) + hexRecord(0, 0x0202, {0xD2}) +
        hexRecord(0, 0x0300, {0xE0});
    const kelvotest::TempDir dir;
    const auto expected = kelvotest::srecCatBytes(dir.write("mixed.hex", records + hexRecord(1, 0, {})));
    ASSERT_EQ(expected.size(), 8U + 8U + 4U + 4U + 1U);

    load(records, kelvo::DeviceFamily::dsPic33F);
    std::set<std::uint32_t> words;
    for (const auto& [byteAddress, value] : expected) words.insert(byteAddress / 2);
    EXPECT_EQ(placed, words.size());
    for (std::uint32_t word : words) {
        const auto& row = *table->slots[static_cast<std::size_t>(kelvo::slotForAddress(*table, word))];
        for (std::uint32_t byteAddress : {word * 2, word * 2 + 1}) {
            const auto given = expected.find(byteAddress);
            const std::uint8_t want = given != expected.end() ? given->second : 0xFF;
            EXPECT_EQ(row.txByte((word - row.address()) * 2 + (byteAddress & 1U)), want)
                << "byte address 0x" << std::hex << byteAddress;
        }
    }
    // Records after an end-of-file record still load.
    load(hexRecord(1, 0, {}) + hexRecord(0, 0x0100, {0x77, 0x66}));
    EXPECT_EQ(tx(0x80, 0), 0x77);
}

TEST_F(HexLoad, WordsOutsideEveryRowAreReportedAndLoadingGoesOn) {
    EXPECT_EQ(load(hexRecord(4, 0, {0x00, 0x08}) + hexRecord(0, 0, {1, 2, 3, 4}) +
                   hexRecord(4, 0, {0x00, 0x00}) + hexRecord(0, 0x4000, {9, 9})),
              (std::vector<std::uint32_t>{0x40000, 0x40001}));
    EXPECT_EQ(tx(0x2000, 0), 9);
    // For dsPIC30F program memory ends at word 0x1FFFF; other families reach 0x1FFFFF.
    EXPECT_TRUE(
        load(hexRecord(4, 0, {0x00, 0x04}) + hexRecord(0, 0, {1, 2}), kelvo::DeviceFamily::pic24F).empty());
}

TEST_F(HexLoad, EepromAndConfigurationRegions) {
    // EEPROM at byte address 0xFFF800 (word 0x7FFC00): each location is written as four bytes.
    load(hexRecord(4, 0, {0x00, 0xFF}) + hexRecord(0, 0xF800, {0x4F, 0x11, 0, 0, 0x4E, 0x11, 0, 0}));
    EXPECT_EQ(tx(0x7FFC00, 0), 0x4F);
    EXPECT_EQ(tx(0x7FFC00, 1), 0x11);
    EXPECT_EQ(tx(0x7FFC00, 2), 0x4E);
    EXPECT_EQ(tx(0x7FFC00, 3), 0x11);
    EXPECT_EQ(tx(0x7FFC00, 4), 0xFF);
}

}  // namespace
