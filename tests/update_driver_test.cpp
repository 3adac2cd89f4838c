// The driver run in this process against the simulated target on a pty, with short time limits
// so that the time-out paths finish quickly. The same scenarios run through the real binary in
// end_to_end_test.cpp where the real limits allow it.
#include "cli/update_driver.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/time_limits.h"
#include "tests/test_support.h"

namespace {

using kelvotest::countOf;
using kelvotest::ShortLimits;
using kelvotest::simFor;
using kelvotest::SimThread;

const char kNotAccepted[] =
    "\nThe target Kelvo device did not accept block # %d. Update failed. Please update again or "
    "contact Varnoth technical support.\n";
const char kValidationFailed[] =
    "\nFirmware did not pass the validation. Update failed. Please update again or contact Varnoth "
    "technical support.\n";
const char kSuccess[] =
    "\n\nFrimware has been successfully updated. Please restart your device to use new version.\n";

std::string notAccepted(int block) {
    char text[256];
    std::snprintf(text, sizeof text, kNotAccepted, block);
    return text;
}

struct Outcome {
    int status = -1;
    std::string output;
    bool resetSeen = false;
    std::vector<std::uint8_t> wire;
    std::optional<kelvosim::TargetMemory> memory;  // what the target holds at the end
};

// Runs one update of `hex` against a simulated target with `options`.
Outcome update(const kelvosim::SimOptions& options, const std::string& hex) {
    kelvotest::TempDir dir;
    const std::string file = dir.write("image.hex", hex);
    SimThread sim(options);
    Outcome run;
    run.status = kelvotest::runDriver({"-i", sim.port(), file}, run.output);
    sim.target().stop();
    run.resetSeen = sim.join();
    run.wire = sim.target().received();
    run.memory = sim.target().memory();
    return run;
}

TEST(UpdateDriver, SilentTargetAndUnknownChip) {
    ShortLimits limits;
    kelvosim::SimOptions silent = simFor("dsPIC30F2010");
    silent.silent = true;
    Outcome run = update(silent, kelvotest::workedExampleHex());
    EXPECT_EQ(run.status, kelvo::kExitFailed);
    EXPECT_EQ(run.output,
              "\nEstablishing connection to the target Kelvo device."
              "\nThe target Kelvo device is not responding, pleas try again.");

    kelvosim::SimOptions unknown = simFor("dsPIC30F2010");
    unknown.chip.deviceId = 0x0FFF;
    run = update(unknown, kelvotest::workedExampleHex());
    EXPECT_EQ(run.status, kelvo::kExitFailed);
    EXPECT_EQ(run.output,
              "\nEstablishing connection to the target Kelvo device.\nReading Target Device ID"
              "\nThe target chip is not responding. Please reset the device and run this program "
              "immidiately after reset.");
    EXPECT_EQ(run.wire, (std::vector<std::uint8_t>{0x0B, 0x09}));  // no frame after that
}

TEST(UpdateDriver, NoHexFileIsNoticedAfterTheIdentification) {
    ShortLimits limits;
    SimThread sim(simFor("dsPIC30F2010"));
    std::string output;
    EXPECT_EQ(kelvotest::runDriver({"-i", sim.port()}, output), kelvo::kExitUsage);
    EXPECT_EQ(output,
              "\nEstablishing connection to the target Kelvo device.\nReading Target Device ID"
              "\nCan't open file: " +
                  sim.port() +
                  "\n"
                  "\nUsage:      KelvoUp.exe -i interface file\nOptions:\n"
                  "  -i        specifies serial interface name such as COM1, COM2, etc\n\n");
    sim.target().stop();
    sim.join();
    EXPECT_EQ(sim.target().received(), (std::vector<std::uint8_t>{0x0B, 0x09}));
}

TEST(UpdateDriver, UnansweredEmptyContinuationFramesStillComplete) {
    ShortLimits limits;
    kelvosim::SimOptions options = simFor("dsPIC33FJ256GP710");
    options.ignoreEmptyConfig = true;
    const std::uint32_t start = kelvo::tickCount();
    const Outcome run = update(options, kelvotest::workedExampleHex());
    EXPECT_EQ(run.status, kelvo::kExitUpdated);
    EXPECT_EQ(run.output, kelvotest::successTranscript());
    // Seven empty continuation frames, each given up after one reply limit, not resent.
    EXPECT_GE(kelvo::elapsedSince(start), 7 * kelvo::timeLimits().replyMs);
    std::string configFrames("\x07\x01\xFF\xFF", 4);
    for (int i = 0; i < 7; ++i) configFrames += std::string("\x01\xFF\xFF", 3);
    EXPECT_EQ(countOf(std::string(run.wire.begin(), run.wire.end()), configFrames + "\x02"), 1U);
}

TEST(UpdateDriver, UnansweredRowsEndTheRun) {
    ShortLimits limits;
    // A target that falls silent after the program row: the first configuration frame fails.
    kelvosim::SimOptions silentLater = simFor("dsPIC30F2010");
    silentLater.silentAfterFrame = 1;
    const std::uint32_t start = kelvo::tickCount();
    const Outcome run = update(silentLater, kelvotest::workedExampleHex());
    EXPECT_EQ(run.status, kelvo::kExitFailed);
    EXPECT_NE(run.output.find(kelvotest::writeLines(0, 2175) + notAccepted(2176)), std::string::npos);
    EXPECT_TRUE(run.resetSeen);  // the target is still told to reset
    EXPECT_LT(kelvo::elapsedSince(start), 12 * kelvo::timeLimits().replyMs);
    EXPECT_EQ(countOf(std::string(run.wire.begin(), run.wire.end()), std::string("\x07\x01\xFF\xFF", 4)),
              10U);
}

TEST(UpdateDriver, ShortOrMissingReadBackFails) {
    ShortLimits limits;
    kelvosim::SimOptions shortReply = simFor("dsPIC30F2010");
    shortReply.shortReadback[0x1C00] = 127;
    Outcome run = update(shortReply, kelvotest::workedExampleHex());
    EXPECT_EQ(run.status, kelvo::kExitFailed);
    EXPECT_NE(run.output.find("\nATTENTION: block #112 has bad data. "), std::string::npos);

    kelvosim::SimOptions noReply = simFor("dsPIC30F2010");
    noReply.skipReadback[0x1C00] = true;
    run = update(noReply, kelvotest::workedExampleHex());
    EXPECT_EQ(run.status, kelvo::kExitFailed);
    EXPECT_NE(run.output.find(std::string("\nATTENTION: block #112 has bad data. ") + kValidationFailed),
              std::string::npos);
    EXPECT_TRUE(run.resetSeen);
}

TEST(UpdateDriver, LostLineEndsTheRunAtOnce) {
    ShortLimits limits({5000, 150, 1500, 20, 40});
    kelvosim::SimOptions options = simFor("dsPIC33FJ256GP710");
    options.hangupAfterFrame = 1;
    std::string hex =
        kelvotest::hexRecord(0, 0x0000, {1, 2, 3, 0}) + kelvotest::hexRecord(0, 0x0800, {4, 5, 6, 0}) +
        kelvotest::hexRecord(1, 0, {});
    const std::uint32_t start = kelvo::tickCount();
    kelvotest::TempDir dir;
    const std::string file = dir.write("image.hex", hex);
    SimThread sim(options);
    std::string output;
    const std::string port = sim.port();
    EXPECT_EQ(kelvotest::runDriver({"-i", port, file}, output), kelvo::kExitFailed);
    EXPECT_LT(kelvo::elapsedSince(start), 2000U);  // far below one reply limit
    EXPECT_EQ(countOf(output, "\nLost connection to serial port " + port + ".\n"), 1U);
    EXPECT_EQ(countOf(output, "Frimware"), 0U);
    EXPECT_NE(output.rfind(kelvotest::writeLines(0, 0) + "\nLost connection"), std::string::npos);
}

TEST(UpdateDriver, BadHexFileNeverReachesThePort) {
    ShortLimits limits;
    const Outcome run =
        update(simFor("dsPIC30F2010"), kelvotest::workedExampleHex() + ":0400000001020304F1\n");
    EXPECT_EQ(run.status, kelvo::kExitFailed);
    EXPECT_EQ(run.output, "\nBad Hex file: line 4: checksum mismatch\n");
    EXPECT_TRUE(run.wire.empty());
}

TEST(UpdateDriver, Dspic33ImageOverTwoRowsWithConfiguration) {
    ShortLimits limits;
    using kelvotest::hexRecord;
    // Row 7 (word 0x1C00, byte 0x3800) gets its last instruction, row 8 its first; two config words.
    const std::string hex = hexRecord(0, 0x3FFC, {0xA1, 0xA2, 0xA3, 0x00}) +
                            hexRecord(0, 0x4000, {0xB1, 0xB2, 0xB3, 0x00, 0xC1, 0xC2, 0xC3, 0x00}) +
                            hexRecord(4, 0, {0x01, 0xF0}) + hexRecord(0, 0x0000, {0xCF, 0x00, 0x00, 0x00}) +
                            hexRecord(0, 0x001C, {0xE7, 0x00, 0x00, 0x00}) + hexRecord(1, 0, {});
    const Outcome run = update(simFor("dsPIC33FJ128GP706"), hex);
    EXPECT_EQ(run.status, kelvo::kExitUpdated);
    EXPECT_EQ(run.output, kelvotest::successTranscript());
    const kelvosim::TargetMemory& memory = *run.memory;
    EXPECT_EQ(memory.instruction(0x1FFE), 0xA3A2A1U);
    EXPECT_EQ(memory.instruction(0x2000), 0xB3B2B1U);
    EXPECT_EQ(memory.instruction(0x2002), 0xC3C2C1U);
    EXPECT_EQ(memory.instruction(0x2004), 0xFFFFFFU);
    EXPECT_EQ(memory.config(0), 0x00CFU);
    EXPECT_EQ(memory.config(7), 0x00E7U);  // the eighth word goes out for dsPIC33F
    EXPECT_FALSE(memory.hasConfig(1));
}

TEST(UpdateDriver, Dspic30ImageWithEeprom) {
    ShortLimits limits;
    using kelvotest::hexRecord;
    const std::string hex = hexRecord(0, 0x3800, {0x11, 0x22, 0x33, 0x00}) + hexRecord(4, 0, {0x00, 0xFF}) +
                            hexRecord(0, 0xFFFC, {0x4F, 0x11, 0x00, 0x00}) + hexRecord(4, 0, {0x01, 0xF0}) +
                            hexRecord(0, 0x001C, {0x55, 0x00, 0x00, 0x00}) + hexRecord(1, 0, {});
    const Outcome run = update(simFor("dsPIC30F6014A"), hex);
    EXPECT_EQ(run.status, kelvo::kExitUpdated);
    const kelvosim::TargetMemory& memory = *run.memory;
    EXPECT_EQ(memory.eeprom(0x7FFFFE), 0x114FU);  // first byte in the low half
    EXPECT_TRUE(memory.hasEeprom(0x7FFFE0));      // the whole last EEPROM row was written
    EXPECT_FALSE(memory.hasEeprom(0x7FFFC0));
    EXPECT_FALSE(memory.hasConfig(7));  // never sent for dsPIC30F
}

}  // namespace
