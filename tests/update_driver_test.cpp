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
    EXPECT_EQ(sim.stopped().received(), (std::vector<std::uint8_t>{0x0B, 0x09}));
}

TEST(UpdateDriver, UnansweredEmptyContinuationFramesStillComplete) {
    kelvosim::SimOptions options = simFor("dsPIC33FJ256GP710");
    options.ignoreEmptyConfig = true;
    const std::uint32_t start = kelvo::tickCount();
    const Outcome run = update(options, kelvotest::workedExampleHex());
    EXPECT_EQ(run.status, kelvo::kExitUpdated);
    EXPECT_EQ(run.output, kelvotest::successTranscript());
    // Seven empty continuation frames, each given up after one reply limit, not resent.
    EXPECT_GE(kelvo::elapsedSince(start), 7 * kelvotest::kShortLimits.replyMs);
    std::string configFrames("\x07\x01\xFF\xFF", 4);
    for (int i = 0; i < 7; ++i) configFrames += std::string("\x01\xFF\xFF", 3);
    EXPECT_EQ(countOf(std::string(run.wire.begin(), run.wire.end()), configFrames + "\x02"), 1U);
}

TEST(UpdateDriver, UnansweredOrLateRowsEndTheRun) {
    const kelvo::TimeLimits& t = kelvotest::kShortLimits;
    struct Case {
        const char* name;
        void (*fault)(kelvosim::SimOptions&);
        int block;          // the row that is not accepted
        std::string frame;  // sent ten times
    };
    const Case cases[] = {
        // A target that falls silent after the program row: the first configuration frame fails.
        {"silent after the first row", [](kelvosim::SimOptions& o) { o.silentAfterFrame = 1; }, 2176,
         std::string("\x07\x01\xFF\xFF", 4)},
        // Every acknowledgement comes 100 ms after the limit: each is late for its own frame and
        // must not be taken for the answer to the resend.
        {"acknowledgements 100 ms late",
         [](kelvosim::SimOptions& o) { o.rowMs = static_cast<int>(kelvotest::kShortLimits.replyMs) + 100; },
         112, std::string("\x03\x00\x1C\x00\x11\x22\x33\x00", 8)},
        // Later still: the quiet wait after the silence is over, the resend is on its way, and the
        // acknowledgement of the first try arrives as if it were the resend's. The resend's own
        // answer comes later than the reply limit after it.
        {"acknowledgements 250 ms late",
         [](kelvosim::SimOptions& o) { o.rowMs = static_cast<int>(kelvotest::kShortLimits.replyMs) + 250; },
         112, std::string("\x03\x00\x1C\x00\x11\x22\x33\x00", 8)},
    };
    for (const Case& c : cases) {
        kelvosim::SimOptions options = simFor("dsPIC30F2010");
        c.fault(options);
        const std::uint32_t start = kelvo::tickCount();
        const Outcome run = update(options, kelvotest::workedExampleHex());
        EXPECT_EQ(run.status, kelvo::kExitFailed) << c.name;
        EXPECT_NE(run.output.find(kelvotest::writeLines(0, c.block - 1) + notAccepted(c.block)),
                  std::string::npos)
            << c.name;
        // The target is still told to reset (a target still writing reads it only later).
        if (options.rowMs == 0) {
            EXPECT_TRUE(run.resetSeen) << c.name;
        }
        // Ten tries, each the reply limit and the wait for a quiet line after it.
        EXPECT_LT(kelvo::elapsedSince(start), 10 * (t.replyMs + 200 + 3 * t.quietMs) + 2 * t.replyMs)
            << c.name;
        EXPECT_EQ(countOf(std::string(run.wire.begin(), run.wire.end()), c.frame), 10U) << c.name;
    }
}

TEST(UpdateDriver, ShortOrMissingReadBackFails) {
    // Two identical rows: the short reply for the second leaves in the buffer exactly what the
    // first one's reply put there, so only the byte count can tell.
    std::string twoRows;
    for (std::uint16_t at = 0x3800; at < 0x3900; at += 16) {
        std::vector<std::uint8_t> data(16);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>((at + i) % 128);
        twoRows += kelvotest::hexRecord(0, at, data);
    }
    kelvosim::SimOptions shortReply = simFor("dsPIC30F2010");
    shortReply.shortReadback[0x1C40] = 64;
    Outcome run = update(shortReply, twoRows + kelvotest::hexRecord(1, 0, {}));
    EXPECT_EQ(run.status, kelvo::kExitFailed);
    EXPECT_NE(run.output.find(kelvotest::validateLines(0, 113) + "\nATTENTION: block #113 has bad data. "),
              std::string::npos);

    kelvosim::SimOptions noReply = simFor("dsPIC30F2010");
    noReply.skipReadback[0x1C00] = true;
    run = update(noReply, kelvotest::workedExampleHex());
    EXPECT_EQ(run.status, kelvo::kExitFailed);
    EXPECT_NE(run.output.find(std::string("\nATTENTION: block #112 has bad data. ") + kValidationFailed),
              std::string::npos);
    EXPECT_TRUE(run.resetSeen);
}

TEST(UpdateDriver, LostLineEndsTheRunAtOnce) {
    const kelvo::TimeLimits limits{5000, 150, 1500, 20, 40, 300, 80, 1000};
    const std::string hex = kelvotest::hexRecord(0, 0x0000, {1, 2, 3, 0}) +
                            kelvotest::hexRecord(0, 0x0800, {4, 5, 6, 0}) + kelvotest::hexRecord(1, 0, {});
    kelvotest::TempDir dir;
    const std::string file = dir.write("image.hex", hex);
    struct Case {
        const char* name;
        void (*fault)(kelvosim::SimOptions&);
        std::string before;  // what the console shows right before the loss message
    };
    const Case cases[] = {
        {"in the middle of a row", [](kelvosim::SimOptions& o) { o.hangupAfterFrame = 1; },
         kelvotest::writeLines(0, 0)},
        {"while the target answers the identification",
         [](kelvosim::SimOptions& o) {
             o.idLength = 3;
             o.hangupInId = true;
         },
         "\nReading Target Device ID"},
    };
    for (const Case& c : cases) {
        kelvosim::SimOptions options = simFor("dsPIC33FJ256GP710");
        c.fault(options);
        const std::uint32_t start = kelvo::tickCount();
        SimThread sim(options);
        std::string output;
        const std::string port = sim.port();
        EXPECT_EQ(kelvotest::runDriver({"-i", port, file}, output, limits), kelvo::kExitFailed) << c.name;
        EXPECT_LT(kelvo::elapsedSince(start), 2000U) << c.name;  // far below one reply limit
        EXPECT_EQ(countOf(output, "\nLost connection to serial port " + port + ".\n"), 1U) << c.name;
        EXPECT_NE(output.rfind(c.before + "\nLost connection"), std::string::npos) << c.name << output;
        EXPECT_EQ(countOf(output, "Frimware"), 0U) << c.name;
        EXPECT_EQ(countOf(output, "The target chip is not responding"), 0U) << c.name;
    }
}

// Console text that turns into a Ctrl-C when `trigger` is printed.
struct InterruptingConsole {
    std::string text;
    std::string trigger;
    kelvo::StopRequest stop;
    static ssize_t write(void* cookie, const char* data, std::size_t size) {
        auto* self = static_cast<InterruptingConsole*>(cookie);
        self->text.append(data, size);
        if (self->text.find(self->trigger) != std::string::npos) self->stop.request();
        return static_cast<ssize_t>(size);
    }
};

TEST(UpdateDriver, CtrlCAfterThePassedVerificationChangesNothing) {
    kelvotest::TempDir dir;
    const std::string file = dir.write("image.hex", kelvotest::workedExampleHex());
    SimThread sim(simFor("dsPIC30F2010"));
    InterruptingConsole console{"", "passed firmware validation", {}};
    std::FILE* sink = fopencookie(&console, "w", {nullptr, &InterruptingConsole::write, nullptr, nullptr});
    ASSERT_NE(sink, nullptr);
    std::setvbuf(sink, nullptr, _IONBF, 0);
    std::string program = "kelvoup", option = "-i", port = sim.port(), hex = file;
    char* argv[] = {program.data(), option.data(), port.data(), hex.data(), nullptr};
    const int status = kelvo::runUpdate(argv, sink, console.stop, kelvotest::kShortLimits);
    std::fclose(sink);
    EXPECT_TRUE(console.stop.requested());
    EXPECT_EQ(status, kelvo::kExitUpdated);
    EXPECT_NE(console.text.find(kSuccess), std::string::npos);
    EXPECT_EQ(countOf(console.text, "Interrupted"), 0U);
    sim.target().stop();
    EXPECT_TRUE(sim.join());  // the reset reached the target
}

TEST(UpdateDriver, Dspic33ImageOverTwoRowsWithConfiguration) {
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
