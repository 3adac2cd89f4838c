#include "image/hex_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
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

// Checks a file and returns the console text (empty when the file passed).
std::string check(const std::string& text) {
    kelvotest::ConsoleCapture console;
    File file = fileWith(text);
    const bool good = kelvo::checkHexFile(file.get());
    const std::string said = console.text();
    EXPECT_EQ(good, said.empty()) << said;
    return said;
}

TEST(HexCheck, AcceptsWellFormedFiles) {
    const std::string records =
        hexRecord(4, 0, {0x00, 0x00}) + hexRecord(0, 0x3800, {0x11, 0x22, 0x33, 0x00}) + hexRecord(1, 0, {});
    EXPECT_EQ(check(records), "");
    // CRLF, lowercase digits, trailing blanks, blank lines and comments.
    std::string relaxed = "; built by a toolchain\r\n\r\n";
    for (char c : hexRecord(0, 0x10, {0xAB, 0xCD}))
        relaxed += c == '\n' ? std::string(" \t\r\n") : std::string(1, static_cast<char>(std::tolower(c)));
    EXPECT_EQ(check(relaxed + ":00000001FF"), "");  // last line without a line end
    EXPECT_EQ(check(""), "");
}

TEST(HexCheck, ReportsTheFirstBadLineWithItsNumber) {
    const std::string good = hexRecord(0, 0, {1, 2});
    struct Case {
        std::string line;
        std::string reason;
    };
    const Case cases[] = {
        {"0200000401F009", "missing record mark"},
        {":0200000401F0G9", "not a hex digit"},
        {":0200000401F00", "record length mismatch"},   // odd number of digits
        {":02000004", "record length mismatch"},        // shorter than a header
        {":0300000401F009", "record length mismatch"},  // count says 3, line holds 2
        {":0200000401F00A", "checksum mismatch"},
        {":00000006FA", "unknown record type"},
        {":0100000401FA", "record length mismatch"},  // type 04 needs two data bytes
        {":02000100AABB98", "record not aligned to a 16-bit word"},
        {":02 0000 04 01F0 09", "not a hex digit"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(check(good + "\n; note\n" + c.line + "\n" + good),
                  "\nBad Hex file: line 4: " + c.reason + "\n")
            << c.line;
    }
    std::string withNul = good;
    withNul.insert(3, 1, '\0');
    EXPECT_EQ(check(withNul), "\nBad Hex file: line 1: not a hex digit\n");
    // A line of any length is one line.
    EXPECT_EQ(check(":" + std::string(10000, '0') + "\n" + good),
              "\nBad Hex file: line 1: record length mismatch\n");
}

TEST(HexCheck, LeavesTheFileRewound) {
    File file = fileWith(hexRecord(1, 0, {}));
    ASSERT_TRUE(kelvo::checkHexFile(file.get()));
    EXPECT_EQ(std::ftell(file.get()), 0L);
}

class HexLoad : public ::testing::Test {
protected:
    void SetUp() override { table = std::make_unique<kelvo::RowTable>(); }

    std::string load(const std::string& text, kelvo::DeviceFamily family = kelvo::DeviceFamily::dsPic30F) {
        kelvo::freeRows(table.get());
        EXPECT_TRUE(kelvo::allocateRows(*table, family));
        kelvotest::ConsoleCapture console;
        File file = fileWith(text);
        EXPECT_TRUE(kelvo::loadHexFile(file.get(), *table));
        for (std::size_t slot = 0; slot < kelvo::kUsedSlots; ++slot) table->slots[slot]->formatRow();
        return console.text();
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
};

TEST_F(HexLoad, WordAddressesFromByteAddressesAndExtendedRecords) {
    EXPECT_EQ(load(hexRecord(0, 0x0002, {0xA1, 0xA2, 0xB1, 0xB2})), "\nReading HexFile");
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

TEST_F(HexLoad, RecordsCrossing64KiBAfterEndOfFileAndOddCounts) {
    // 8 bytes at byte address 0xFFFC: the last two words land past the 64 KiB boundary.
    load(hexRecord(0, 0xFFFC, {1, 2, 3, 4, 5, 6, 7, 8}) + hexRecord(1, 0, {}) +
         hexRecord(0, 0x0100, {0x77, 0x66, 0x55}));
    EXPECT_EQ(tx(0x7FFE, 124), 1);
    EXPECT_EQ(tx(0x8000, 0), 5);  // word address 0x8000 = byte address 0x10000
    EXPECT_EQ(tx(0x8000, 3), 8);
    EXPECT_EQ(tx(0x80, 0), 0x77);  // loaded although after the end-of-file record
    EXPECT_EQ(tx(0x80, 2), 0x55);
    EXPECT_EQ(tx(0x80, 3), 0xFF);  // the missing byte of an odd count is erased
}

TEST_F(HexLoad, WordsOutsideEveryRowAreReportedAndLoadingGoesOn) {
    const std::string said = load(hexRecord(4, 0, {0x00, 0x08}) + hexRecord(0, 0, {1, 2, 3, 4}) +
                                  hexRecord(4, 0, {0x00, 0x00}) + hexRecord(0, 0x4000, {9, 9}));
    EXPECT_EQ(said,
              "\nReading HexFile"
              "Bad Hex file: 0x40000Address out of range\n"
              "Bad Hex file: 0x40001Address out of range\n");
    EXPECT_EQ(tx(0x2000, 0), 9);
    // For dsPIC30F program memory ends at word 0x1FFFF; other families reach 0x1FFFFF.
    EXPECT_EQ(kelvotest::countOf(
                  load(hexRecord(4, 0, {0x00, 0x04}) + hexRecord(0, 0, {1, 2}), kelvo::DeviceFamily::pic24F),
                  "out of range"),
              0U);
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
