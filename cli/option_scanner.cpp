#include "cli/option_scanner.h"

#include <cstring>

namespace kelvo {

OptionScanner::OptionScanner(char* const* argv, const char* optionSpec)
    : cursor_(argv + 1), optionSpec_(optionSpec), argv_(argv) {}

char OptionScanner::next() {
    const char* entry = *cursor_;
    if (entry == nullptr) return 0;
    unknown_ = false;
    if (entry[0] != '-') {
        optionArg_ = entry;
        ++cursor_;
        optionChar_ = '.';
        return optionChar_;
    }
    if (entry[1] == '\0') {
        ++cursor_;
        optionChar_ = '-';
        return optionChar_;
    }
    const char* found = std::strchr(optionSpec_, entry[1]);
    optionChar_ = entry[1];
    if (found == nullptr) {
        unknown_ = true;
        return optionChar_;
    }
    if (found[1] != ':') {
        ++cursor_;
        return optionChar_;
    }
    if (entry[2] != '\0') {
        optionArg_ = entry + 2;
        ++cursor_;
        return optionChar_;
    }
    ++cursor_;
    if (*cursor_ == nullptr || (*cursor_)[0] == '-') {
        optionArg_ = nullptr;
        return optionChar_;
    }
    optionArg_ = *cursor_;
    ++cursor_;
    return optionChar_;
}

}  // namespace kelvo
