#pragma once

namespace kelvo {

// Walks an argument vector one entry at a time in the manner of a classic single-letter
// option parser, driven by an option specification such as "i:b:p:e:" (a letter followed by
// ":" takes an argument). The vector ends at its null entry; the program name in the first
// entry is never examined. No text is copied: optionArg() points into the vector.
class OptionScanner {
public:
    OptionScanner(char* const* argv, const char* optionSpec);

    // 0 when no entries remain; otherwise the option letter, "." for a non-option argument or
    // "-" for a lone dash, also stored as optionChar().
    char next();

    char optionChar() const { return optionChar_; }
    const char* optionArg() const { return optionArg_; }

    // True when the last item returned was an unknown option. The cursor then stays on its entry,
    // and for the entries "-." and "--" the code returned is the same as for a non-option argument
    // or a lone dash.
    bool unknownOption() const { return unknown_; }

private:
    char optionChar_ = 0;
    const char* optionArg_ = nullptr;
    char* const* cursor_;
    const char* optionSpec_;
    [[maybe_unused]] char* const* argv_;  // stored unchanged, as the scanner always has
    bool unknown_ = false;
};

}  // namespace kelvo
