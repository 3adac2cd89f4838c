#include "cli/option_scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// An argument vector of owned strings, ending in a null entry.
struct Args {
    explicit Args(std::vector<std::string> items) : text(std::move(items)) {
        text.insert(text.begin(), "kelvoup");
        for (std::string& s : text) argv.push_back(s.data());
        argv.push_back(nullptr);
    }
    std::vector<std::string> text;
    std::vector<char*> argv;
};

std::string arg(const kelvo::OptionScanner& s) {
    return s.optionArg() ? s.optionArg() : "(null)";
}

TEST(OptionScanner, OptionArgumentAttachedOrSeparate) {
    Args a({"-i", "COM1", "-iCOM2"});
    kelvo::OptionScanner s(a.argv.data(), "i:b:p:e:");
    EXPECT_EQ(s.next(), 'i');
    EXPECT_EQ(arg(s), "COM1");
    EXPECT_EQ(s.next(), 'i');
    EXPECT_EQ(arg(s), "COM2");
    EXPECT_EQ(s.optionArg(), a.argv[3] + 2);  // points into the vector, no copy
    EXPECT_EQ(s.next(), 0);
    EXPECT_EQ(arg(s), "COM2");  // kept after the end
}

TEST(OptionScanner, MissingArgumentLeavesNextEntryForNextCall) {
    Args last({"-i"});
    kelvo::OptionScanner s1(last.argv.data(), "i:b:p:e:");
    EXPECT_EQ(s1.next(), 'i');
    EXPECT_EQ(s1.optionArg(), nullptr);
    EXPECT_EQ(s1.next(), 0);

    Args followed({"-i", "-x"});
    kelvo::OptionScanner s2(followed.argv.data(), "i:b:p:e:");
    EXPECT_EQ(s2.next(), 'i');
    EXPECT_EQ(s2.optionArg(), nullptr);
    EXPECT_EQ(s2.next(), 'x');
    EXPECT_TRUE(s2.unknownOption());
}

TEST(OptionScanner, NonOptionsLoneDashAndConsumedArguments) {
    Args a({"fw.hex", "-", "-b", "19200", "other.hex"});
    kelvo::OptionScanner s(a.argv.data(), "i:b:p:e:");
    EXPECT_EQ(s.next(), '.');
    EXPECT_EQ(arg(s), "fw.hex");
    EXPECT_EQ(s.next(), '-');
    EXPECT_FALSE(s.unknownOption());
    EXPECT_EQ(arg(s), "fw.hex");  // a lone dash leaves the argument alone
    EXPECT_EQ(s.next(), 'b');
    EXPECT_EQ(arg(s), "19200");
    EXPECT_EQ(s.next(), '.');
    EXPECT_EQ(arg(s), "other.hex");
    EXPECT_EQ(s.next(), 0);
}

TEST(OptionScanner, UnknownOptionsKeepTheCursor) {
    Args a({"-z"});
    kelvo::OptionScanner s(a.argv.data(), "i:b:p:e:");
    EXPECT_EQ(s.next(), 'z');
    EXPECT_EQ(s.next(), 'z');
    EXPECT_TRUE(s.unknownOption());

    // "--" and "-." return the codes of a lone dash and a non-option, but as unknown options.
    Args dashes({"--"});
    kelvo::OptionScanner d(dashes.argv.data(), "i:b:p:e:");
    EXPECT_EQ(d.next(), '-');
    EXPECT_TRUE(d.unknownOption());
    EXPECT_EQ(d.next(), '-');

    Args dot({"-.", "x"});
    kelvo::OptionScanner p(dot.argv.data(), "i:b:p:e:");
    EXPECT_EQ(p.next(), '.');
    EXPECT_TRUE(p.unknownOption());
    EXPECT_EQ(p.optionArg(), nullptr);
}

TEST(OptionScanner, ColonIsFoundInTheSpecification) {
    // "-:" finds the first ":" (after "i"); the character after it is "b", so no argument.
    Args a({"-:", "fw.hex"});
    kelvo::OptionScanner s(a.argv.data(), "i:b:p:e:");
    EXPECT_EQ(s.next(), ':');
    EXPECT_FALSE(s.unknownOption());
    EXPECT_EQ(s.next(), '.');
    EXPECT_EQ(arg(s), "fw.hex");
}

TEST(OptionScanner, ProgramNameOnly) {
    Args a({});
    kelvo::OptionScanner s(a.argv.data(), "i:b:p:e:");
    EXPECT_EQ(s.next(), 0);
    EXPECT_EQ(s.optionChar(), 0);
    EXPECT_EQ(s.optionArg(), nullptr);
}

}  // namespace
