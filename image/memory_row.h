#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "link/serial_link.h"
#include "protocol/bootloader.h"
#include "protocol/device_table.h"

namespace kelvo {

enum class MemoryKind : std::int32_t { program = 0, eeprom = 1, config = 2 };

// What becomes of a word of the file at a word address.
enum class WordUse {
    sent,        // it goes to the chip
    secondWord,  // the second word of an EEPROM or configuration location: never sent
    nowhere      // no row sends it: outside the row, or the eighth configuration word of a dsPIC30F
};

// One block of target memory that the bootloader writes in one frame: the words the HEX file
// gives for its address range, and the bytes that go on the wire for them. Addresses are
// target word addresses (half the HEX file's byte address). A program or EEPROM row takes its
// memory when its first word is stored: the many rows an image leaves empty cost next to nothing.
class MemoryRow {
public:
    static constexpr std::size_t kWordCount = 1024;

    MemoryRow(MemoryKind kind, std::uint32_t startAddress, std::int32_t rowNumber, DeviceFamily family);

    // A row of its own with the same words and transmit bytes; nullptr when memory runs out.
    std::unique_ptr<MemoryRow> clone() const;

    // False when the row's memory could not be allocated.
    bool valid() const { return !failed_; }

    // What becomes of a word of the file at `wordAddress`.
    WordUse wordUse(std::uint32_t wordAddress) const;

    // Stores `value` when the word at the address goes to the chip with this row; the row is then
    // no longer empty. A word that is never sent is not stored and leaves the row as it was.
    bool insertWord(std::uint32_t wordAddress, std::uint16_t value) {
        return placeWord(wordAddress, value) == WordUse::sent;
    }
    // The same, saying what became of the word.
    WordUse placeWord(std::uint32_t wordAddress, std::uint16_t value);

    // Builds the transmit bytes from the words. An empty row keeps its erased bytes (0xFF).
    void formatRow();

    // Sends the row's frame; empty program and EEPROM rows are skipped, configuration rows are
    // always sent, and the eighth configuration row of a dsPIC30F is never sent.
    SendOutcome sendRow(PortHandle& port) const;
    // The bytes of the frame sendRow sends (header and data), or 0 when it sends nothing.
    std::size_t frameSize() const;

    std::uint32_t address() const { return address_; }
    std::uint8_t isEmpty() const { return isEmpty_; }
    // Number of word addresses the row covers.
    std::uint32_t span() const;
    std::size_t txSize() const { return txSize_; }
    // The transmit bytes; an empty row's are erased (0xFF).
    std::uint8_t txByte(std::size_t index) const { return txBuffer_ ? txBuffer_[index] : std::uint8_t{0xFF}; }
    // The transmit buffer; nullptr for a program or EEPROM row that holds no word.
    const std::uint8_t* txData() const { return txBuffer_.get(); }

private:
    // Allocates the words (erased) and the transmit bytes (0xFF) once; false when memory runs out.
    bool takeMemory();

    bool failed_ = false;
    std::unique_ptr<std::uint8_t[]> txBuffer_;
    std::size_t txSize_ = 0;
    std::uint32_t address_ = 0;
    std::uint8_t isEmpty_ = 1;
    MemoryKind kind_;
    std::unique_ptr<std::uint16_t[]> words_;  // kWordCount words
    std::int32_t rowNumber_;
    DeviceFamily family_;
    std::uint32_t rowSize_ = 0;
};

// Row slots: 2048 program rows, 128 EEPROM rows, 8 configuration rows; the rest stay empty.
inline constexpr std::size_t kRowSlots = 4224;
inline constexpr std::size_t kProgramRows = 2048;
inline constexpr std::size_t kEepromRows = 128;
inline constexpr std::size_t kConfigRows = 8;
inline constexpr std::size_t kFirstEepromSlot = kProgramRows;
inline constexpr std::size_t kFirstConfigSlot = kProgramRows + kEepromRows;
inline constexpr std::size_t kUsedSlots = kFirstConfigSlot + kConfigRows;  // 2184
inline constexpr std::uint32_t kEepromStart = 0x7FF000;
inline constexpr std::uint32_t kConfigStart = 0xF80000;

struct RowTable {
    std::array<std::unique_ptr<MemoryRow>, kRowSlots> slots;
    DeviceFamily family = DeviceFamily::none;
};

// The rows one update sends: a formatted table, possibly shared read-only with other updates,
// with some rows replaced by formatted rows of the update's own (a device's serial number).
class RowSet {
public:
    explicit RowSet(const RowTable& shared) : shared_(&shared) {}

    // The row of a slot, or nullptr for a slot without one.
    const MemoryRow* operator[](std::size_t slot) const {
        const auto own = own_.find(slot);
        return own != own_.end() ? own->second.get() : shared_->slots[slot].get();
    }
    DeviceFamily family() const { return shared_->family; }

    // Puts a word of this update's own into a private copy of the row that sends it, formatted
    // again. False when no row sends a word at that address, or memory runs out.
    bool overlay(std::uint32_t wordAddress, std::uint16_t value);

private:
    const RowTable* shared_;
    std::map<std::size_t, std::unique_ptr<MemoryRow>> own_;
};

// Creates all 2184 rows for the family. False when a row or its buffer cannot be allocated.
bool allocateRows(RowTable& table, DeviceFamily family);

// Releases every row and empties every slot; does nothing for a missing table.
void freeRows(RowTable* table);

// The slot whose row covers the word address, computed from the address, or -1 when no row
// does (also when the table has no rows).
std::ptrdiff_t slotForAddress(const RowTable& table, std::uint32_t wordAddress);

}  // namespace kelvo
