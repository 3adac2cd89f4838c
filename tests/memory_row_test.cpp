#include "image/memory_row.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/test_support.h"

namespace {

using kelvo::DeviceFamily;
using kelvo::MemoryKind;
using kelvo::MemoryRow;

TEST(MemoryRow, GeometryByKindAndFamily) {
    const MemoryRow p0(MemoryKind::program, 0, 3, DeviceFamily::dsPic30F);
    EXPECT_EQ(p0.address(), 192U);
    EXPECT_EQ(p0.txSize(), 128U);
    EXPECT_EQ(p0.span(), 64U);

    const MemoryRow p1(MemoryKind::program, 0, 3, DeviceFamily::pic24F);
    EXPECT_EQ(p1.address(), 3072U);
    EXPECT_EQ(p1.txSize(), 2048U);

    const MemoryRow e(MemoryKind::eeprom, kelvo::kEepromStart, 5, DeviceFamily::dsPic33F);
    EXPECT_EQ(e.address(), 0x7FF000U + 5 * 32);
    EXPECT_EQ(e.txSize(), 32U);

    const MemoryRow c(MemoryKind::config, kelvo::kConfigStart, 7, DeviceFamily::dsPic33F);
    EXPECT_EQ(c.address(), 0xF8000EU);
    EXPECT_EQ(c.txSize(), 4U);
    EXPECT_EQ(c.isEmpty(), 1);
}

TEST(MemoryRow, InsertWordTakesOnlyItsOwnRange) {
    MemoryRow row(MemoryKind::program, 0, 3, DeviceFamily::dsPic30F);
    EXPECT_FALSE(row.insertWord(191, 0x1111));
    EXPECT_FALSE(row.insertWord(256, 0x1111));
    EXPECT_EQ(row.isEmpty(), 1);
    EXPECT_TRUE(row.insertWord(192, 0x0400));
    EXPECT_TRUE(row.insertWord(255, 0xABCD));
    EXPECT_EQ(row.isEmpty(), 0);
    row.formatRow();
    EXPECT_EQ(row.txByte(0), 0x04);
    EXPECT_EQ(row.txByte(1), 0x00);
    EXPECT_EQ(row.txByte(2), 0xFF);  // word 193 never given: erased
    EXPECT_EQ(row.txByte(126), 0xAB);
    EXPECT_EQ(row.txByte(127), 0xCD);
}

TEST(MemoryRow, OnlyWordsThatAreSentAreStored) {
    using kelvo::WordUse;
    struct Case {
        MemoryKind kind;
        std::int32_t rowNumber;
        DeviceFamily family;
        std::uint32_t wordAddress;
        WordUse use;
    };
    const std::uint32_t e = kelvo::kEepromStart;
    const std::uint32_t c = kelvo::kConfigStart;
    const Case cases[] = {
        {MemoryKind::program, 3, DeviceFamily::dsPic30F, 193, WordUse::sent},
        {MemoryKind::eeprom, 0, DeviceFamily::dsPic30F, e + 30, WordUse::sent},
        {MemoryKind::eeprom, 0, DeviceFamily::dsPic30F, e + 31, WordUse::secondWord},
        {MemoryKind::eeprom, 0, DeviceFamily::dsPic30F, e + 32, WordUse::nowhere},
        {MemoryKind::config, 1, DeviceFamily::dsPic30F, c + 2, WordUse::sent},
        {MemoryKind::config, 1, DeviceFamily::dsPic30F, c + 3, WordUse::secondWord},
        {MemoryKind::config, 1, DeviceFamily::dsPic30F, c + 4, WordUse::nowhere},
        {MemoryKind::config, 7, DeviceFamily::dsPic33F, c + 14, WordUse::sent},
        {MemoryKind::config, 7, DeviceFamily::dsPic30F, c + 14, WordUse::nowhere},  // never sent
        {MemoryKind::config, 7, DeviceFamily::dsPic30F, c + 15, WordUse::secondWord},
    };
    for (const Case& k : cases) {
        const std::uint32_t start = k.kind == MemoryKind::program ? 0 : k.kind == MemoryKind::eeprom ? e : c;
        MemoryRow row(k.kind, start, k.rowNumber, k.family);
        EXPECT_EQ(row.wordUse(k.wordAddress), k.use) << std::hex << k.wordAddress;
        // A word that is never sent leaves its row empty: an empty configuration row goes out with
        // its empty flag, never as a write of 0xFFFF.
        EXPECT_EQ(row.insertWord(k.wordAddress, 0x1234), k.use == WordUse::sent) << std::hex << k.wordAddress;
        EXPECT_EQ(row.isEmpty(), k.use == WordUse::sent ? 0 : 1) << std::hex << k.wordAddress;
    }
}

TEST(MemoryRow, EepromSendsTheEvenWordsAndConfigTheFirstWord) {
    MemoryRow e(MemoryKind::eeprom, kelvo::kEepromStart, 0, DeviceFamily::dsPic30F);
    const std::uint16_t words[] = {0x1234, 0x0000, 0x5678, 0x0000};
    for (std::uint32_t i = 0; i < 4; ++i) e.insertWord(kelvo::kEepromStart + i, words[i]);
    e.formatRow();
    EXPECT_EQ(std::vector<std::uint8_t>(e.txData(), e.txData() + 6),
              (std::vector<std::uint8_t>{0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF}));

    MemoryRow c(MemoryKind::config, kelvo::kConfigStart, 0, DeviceFamily::dsPic30F);
    c.insertWord(kelvo::kConfigStart, 0xC3A5);
    c.insertWord(kelvo::kConfigStart + 1, 0x0000);
    c.formatRow();
    // The second word is never sent, so it is not kept either.
    EXPECT_EQ(std::vector<std::uint8_t>(c.txData(), c.txData() + 4),
              (std::vector<std::uint8_t>{0xC3, 0xA5, 0xFF, 0xFF}));
}

TEST(MemoryRow, WhichRowsAreSent) {
    kelvo::PortHandle none;  // without a port a row that would be sent reports noPort
    const MemoryRow emptyProgram(MemoryKind::program, 0, 0, DeviceFamily::dsPic30F);
    EXPECT_EQ(emptyProgram.sendRow(none), kelvo::SendOutcome::skipped);
    const MemoryRow emptyEeprom(MemoryKind::eeprom, kelvo::kEepromStart, 0, DeviceFamily::dsPic30F);
    EXPECT_EQ(emptyEeprom.sendRow(none), kelvo::SendOutcome::skipped);
    const MemoryRow emptyConfig(MemoryKind::config, kelvo::kConfigStart, 0, DeviceFamily::dsPic30F);
    EXPECT_EQ(emptyConfig.sendRow(none), kelvo::SendOutcome::noPort);

    MemoryRow eighth30F(MemoryKind::config, kelvo::kConfigStart, 7, DeviceFamily::dsPic30F);
    eighth30F.insertWord(0xF8000E, 0x1234);
    EXPECT_EQ(eighth30F.sendRow(none), kelvo::SendOutcome::skipped);
    const MemoryRow eighth33F(MemoryKind::config, kelvo::kConfigStart, 7, DeviceFamily::dsPic33F);
    EXPECT_EQ(eighth33F.sendRow(none), kelvo::SendOutcome::noPort);
}

TEST(RowTable, AllocationSlotsAndRelease) {
    auto table = std::make_unique<kelvo::RowTable>();
    kelvo::freeRows(nullptr);
    EXPECT_EQ(kelvo::slotForAddress(*table, 0), -1);  // no rows yet
    ASSERT_TRUE(kelvo::allocateRows(*table, DeviceFamily::dsPic30F));
    EXPECT_TRUE(table->slots[kelvo::kUsedSlots - 1]);
    EXPECT_FALSE(table->slots[kelvo::kUsedSlots]);

    // The computed slot agrees with a scan of every row, for addresses across all regions.
    const std::uint32_t probes[] = {0,        1,        63,       64,       0x1C00,   0x1FFFF,
                                    0x20000,  0x7FEFFF, 0x7FF000, 0x7FF01F, 0x7FF020, 0x7FFFFF,
                                    0x800000, 0xF7FFFF, 0xF80000, 0xF80003, 0xF8000F, 0xF80010};
    for (DeviceFamily family : {DeviceFamily::dsPic30F, DeviceFamily::pic24H}) {
        kelvo::freeRows(table.get());
        ASSERT_TRUE(kelvo::allocateRows(*table, family));
        for (std::uint32_t address : probes) {
            std::ptrdiff_t scanned = -1;
            for (std::size_t slot = 0; slot < kelvo::kUsedSlots; ++slot) {
                const MemoryRow& row = *table->slots[slot];
                if (address >= row.address() && address - row.address() < row.span()) {
                    scanned = static_cast<std::ptrdiff_t>(slot);
                    break;
                }
            }
            EXPECT_EQ(kelvo::slotForAddress(*table, address), scanned) << std::hex << address;
        }
    }
    EXPECT_EQ(kelvo::slotForAddress(*table, 0x1FFFFF), 2047);
    kelvo::freeRows(table.get());
    for (const auto& slot : table->slots) EXPECT_FALSE(slot);
}

}  // namespace
