#include "image/memory_row.h"

#include <algorithm>
#include <new>

namespace kelvo {

namespace {
std::uint8_t hi(std::uint16_t w) {
    return static_cast<std::uint8_t>(w >> 8);
}
std::uint8_t lo(std::uint16_t w) {
    return static_cast<std::uint8_t>(w & 0xFF);
}
}  // namespace

MemoryRow::MemoryRow(MemoryKind kind, std::uint32_t startAddress, std::int32_t rowNumber, DeviceFamily family)
    : kind_(kind), rowNumber_(rowNumber), family_(family) {
    const auto row = static_cast<std::uint32_t>(rowNumber);
    switch (kind) {
        case MemoryKind::program:
            rowSize_ = programRowSize(family);
            txSize_ = std::size_t{rowSize_} * 4U;
            address_ = startAddress + row * rowSize_ * 2U;
            break;
        case MemoryKind::eeprom:
            rowSize_ = 16;
            txSize_ = std::size_t{rowSize_} * 2U;
            address_ = startAddress + row * 32U;
            break;
        case MemoryKind::config:
            rowSize_ = 16;
            txSize_ = 4;
            address_ = startAddress + row * 2U;
            break;
    }
    // A configuration row is always sent, its value bytes erased when the file gives none.
    if (kind == MemoryKind::config) takeMemory();
}

bool MemoryRow::takeMemory() {
    if (words_) return true;
    words_.reset(new (std::nothrow) std::uint16_t[kWordCount]);
    txBuffer_.reset(new (std::nothrow) std::uint8_t[txSize_]);
    if (!words_ || !txBuffer_) {
        words_.reset();
        txBuffer_.reset();
        failed_ = true;
        return false;
    }
    std::fill_n(words_.get(), kWordCount, std::uint16_t{0xFFFF});
    std::fill_n(txBuffer_.get(), txSize_, std::uint8_t{0xFF});
    return true;
}

std::unique_ptr<MemoryRow> MemoryRow::clone() const {
    std::unique_ptr<MemoryRow> copy(new (std::nothrow) MemoryRow(kind_, 0, rowNumber_, family_));
    if (!copy || !copy->valid()) return nullptr;
    copy->address_ = address_;
    copy->isEmpty_ = isEmpty_;
    if (words_) {
        if (!copy->takeMemory()) return nullptr;
        std::copy_n(words_.get(), kWordCount, copy->words_.get());
        std::copy_n(txBuffer_.get(), txSize_, copy->txBuffer_.get());
    }
    return copy;
}

std::uint32_t MemoryRow::span() const {
    return kind_ == MemoryKind::config ? 2U : rowSize_ * 2U;
}

WordUse MemoryRow::wordUse(std::uint32_t wordAddress) const {
    if (wordAddress < address_ || wordAddress - address_ >= span()) return WordUse::nowhere;
    const std::uint32_t offset = wordAddress - address_;
    switch (kind_) {
        case MemoryKind::program: return WordUse::sent;
        case MemoryKind::eeprom: return offset % 2 == 0 ? WordUse::sent : WordUse::secondWord;
        case MemoryKind::config:
            if (offset != 0) return WordUse::secondWord;
            // A dsPIC30F has seven configuration words: the eighth row is never sent.
            return rowNumber_ == 7 && family_ == DeviceFamily::dsPic30F ? WordUse::nowhere : WordUse::sent;
    }
    return WordUse::nowhere;
}

WordUse MemoryRow::placeWord(std::uint32_t wordAddress, std::uint16_t value) {
    const WordUse use = wordUse(wordAddress);
    if (use == WordUse::sent && takeMemory()) {
        isEmpty_ = 0;
        words_[wordAddress - address_] = value;
    }
    return use;
}

void MemoryRow::formatRow() {
    if (isEmpty_ == 1 || !txBuffer_ || !words_) return;
    std::uint8_t* tx = txBuffer_.get();
    switch (kind_) {
        case MemoryKind::program:
            for (std::size_t i = 0; i < rowSize_; ++i) {
                tx[4 * i] = hi(words_[2 * i]);
                tx[4 * i + 1] = lo(words_[2 * i]);
                tx[4 * i + 2] = hi(words_[2 * i + 1]);
                tx[4 * i + 3] = lo(words_[2 * i + 1]);
            }
            break;
        case MemoryKind::config:
            tx[0] = hi(words_[0]);
            tx[1] = lo(words_[0]);
            tx[2] = hi(words_[1]);
            tx[3] = lo(words_[1]);
            break;
        case MemoryKind::eeprom:
            // Each location takes the first of its two words; the second is never sent.
            for (std::size_t i = 0; i < rowSize_; ++i) {
                tx[2 * i] = hi(words_[2 * i]);
                tx[2 * i + 1] = lo(words_[2 * i]);
            }
            break;
    }
}

std::size_t MemoryRow::frameSize() const {
    if (kind_ == MemoryKind::config) {
        if (rowNumber_ == 7 && family_ == DeviceFamily::dsPic30F) return 0;
        return rowNumber_ == 0 ? 4 : 3;
    }
    return isEmpty_ == 1 ? 0 : 4 + txSize_;
}

SendOutcome MemoryRow::sendRow(PortHandle& port) const {
    if (kind_ != MemoryKind::config && isEmpty_ == 1) return SendOutcome::skipped;
    if (kind_ == MemoryKind::config && rowNumber_ == 7 && family_ == DeviceFamily::dsPic30F) {
        return SendOutcome::skipped;
    }
    std::array<std::uint8_t, 4> header{};
    switch (kind_) {
        case MemoryKind::program:
        case MemoryKind::eeprom:
            header[0] = kind_ == MemoryKind::program ? kCmdWriteProgram : kCmdWriteEeprom;
            putWireAddress(&header[1], address_);
            return sendAcknowledged(port, header.data(), header.size(), txBuffer_.get(), txSize_);
        case MemoryKind::config: break;
    }
    if (rowNumber_ == 0) {
        header = {kCmdWriteConfig, isEmpty_, txByte(0), txByte(1)};
        return sendAcknowledged(port, header.data(), 4, nullptr, 0);
    }
    header = {isEmpty_, txByte(0), txByte(1), 0};
    return sendAcknowledged(port, header.data(), 3, nullptr, 0);
}

bool RowSet::overlay(std::uint32_t wordAddress, std::uint16_t value) {
    const std::ptrdiff_t found = slotForAddress(*shared_, wordAddress);
    if (found < 0) return false;
    const auto slot = static_cast<std::size_t>(found);
    std::unique_ptr<MemoryRow>& own = own_[slot];
    if (!own) own = shared_->slots[slot]->clone();
    if (!own || !own->insertWord(wordAddress, value)) return false;
    own->formatRow();
    return true;
}

bool allocateRows(RowTable& table, DeviceFamily family) {
    table.family = family;
    auto create = [&](std::size_t slot, MemoryKind kind, std::uint32_t start, std::size_t row) {
        table.slots[slot].reset(new (std::nothrow)
                                    MemoryRow(kind, start, static_cast<std::int32_t>(row), family));
        return table.slots[slot] != nullptr && table.slots[slot]->valid();
    };
    for (std::size_t r = 0; r < kProgramRows; ++r) {
        if (!create(r, MemoryKind::program, 0, r)) return false;
    }
    for (std::size_t r = 0; r < kEepromRows; ++r) {
        if (!create(kFirstEepromSlot + r, MemoryKind::eeprom, kEepromStart, r)) return false;
    }
    for (std::size_t r = 0; r < kConfigRows; ++r) {
        if (!create(kFirstConfigSlot + r, MemoryKind::config, kConfigStart, r)) return false;
    }
    return true;
}

void freeRows(RowTable* table) {
    if (table == nullptr) return;
    for (auto& slot : table->slots) slot.reset();
    table->family = DeviceFamily::none;
}

std::ptrdiff_t slotForAddress(const RowTable& table, std::uint32_t wordAddress) {
    if (!table.slots[0]) return -1;
    const std::uint32_t programSpan = programRowSize(table.family) * 2U;
    std::size_t slot = 0;
    if (wordAddress < programSpan * kProgramRows) {
        slot = wordAddress / programSpan;
    } else if (wordAddress >= kEepromStart && wordAddress < kEepromStart + 32U * kEepromRows) {
        slot = kFirstEepromSlot + (wordAddress - kEepromStart) / 32U;
    } else if (wordAddress >= kConfigStart && wordAddress < kConfigStart + 2U * kConfigRows) {
        slot = kFirstConfigSlot + (wordAddress - kConfigStart) / 2U;
    } else {
        return -1;
    }
    return table.slots[slot] ? static_cast<std::ptrdiff_t>(slot) : -1;
}

}  // namespace kelvo
