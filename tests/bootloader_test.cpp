#include "protocol/bootloader.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "protocol/device_table.h"
#include "tests/test_support.h"

namespace {

using kelvo::DeviceFamily;
using kelvotest::simFor;
using kelvotest::SimThread;

// Opens the host end of a simulated target's port for `update`.
void connect(kelvo::PortHandle& port, const SimThread& sim, kelvotest::TestUpdate& update) {
    ASSERT_EQ(kelvo::openPort(port, sim.port().c_str(), "9600", update.context()), kelvo::OpenResult::opened);
}

std::size_t occurrences(const std::vector<std::uint8_t>& haystack, const std::vector<std::uint8_t>& needle) {
    std::size_t count = 0;
    for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        if (std::equal(needle.begin(), needle.end(), haystack.begin() + static_cast<std::ptrdiff_t>(i))) {
            ++count;
            i += needle.size() - 1;
        }
    }
    return count;
}

TEST(DeviceTable, HoldsEverySupportedChipInOrder) {
    constexpr DeviceFamily k30F = DeviceFamily::dsPic30F;
    constexpr DeviceFamily k33F = DeviceFamily::dsPic33F;
    constexpr DeviceFamily k24H = DeviceFamily::pic24H;
    constexpr DeviceFamily k24F = DeviceFamily::pic24F;
    const kelvo::DeviceEntry expected[] = {
        {"dsPIC30F2010", 0x0040, 1, k30F},      {"dsPIC30F2011", 0x00C0, 1, k30F},
        {"dsPIC30F2011", 0x0240, 1, k30F},      {"dsPIC30F2012", 0x00C2, 1, k30F},
        {"dsPIC30F2012", 0x0241, 1, k30F},      {"dsPIC30F3010", 0x01C0, 1, k30F},
        {"dsPIC30F3011", 0x01C1, 1, k30F},      {"dsPIC30F3012", 0x00C1, 1, k30F},
        {"dsPIC30F3013", 0x00C3, 1, k30F},      {"dsPIC30F3014", 0x0160, 1, k30F},
        {"dsPIC30F4011", 0x0101, 1, k30F},      {"dsPIC30F4012", 0x0100, 1, k30F},
        {"dsPIC30F4013", 0x0141, 1, k30F},      {"dsPIC30F5011", 0x0080, 1, k30F},
        {"dsPIC30F5013", 0x0081, 1, k30F},      {"dsPIC30F5015", 0x0200, 1, k30F},
        {"dsPIC30F5016", 0x0201, 1, k30F},      {"dsPIC30F6010", 0x0188, 1, k30F},
        {"dsPIC30F6010A", 0x0281, 1, k30F},     {"dsPIC30F6011", 0x0192, 1, k30F},
        {"dsPIC30F6011A", 0x02C0, 1, k30F},     {"dsPIC30F6012", 0x0193, 1, k30F},
        {"dsPIC30F6012A", 0x02C2, 1, k30F},     {"dsPIC30F6013", 0x0197, 1, k30F},
        {"dsPIC30F6013A", 0x02C1, 1, k30F},     {"dsPIC30F6014", 0x0198, 1, k30F},
        {"dsPIC30F6014A", 0x02C3, 1, k30F},     {"dsPIC30F6015", 0x0280, 1, k30F},
        {"dsPIC33FJ64GP206", 0x00C1, 3, k33F},  {"dsPIC33FJ64GP306", 0x00CD, 3, k33F},
        {"dsPIC33FJ64GP310", 0x00CF, 3, k33F},  {"dsPIC33FJ64GP706", 0x00D5, 3, k33F},
        {"dsPIC33FJ64GP708", 0x00D6, 3, k33F},  {"dsPIC33FJ64GP710", 0x00D7, 3, k33F},
        {"dsPIC33FJ128GP206", 0x00D9, 3, k33F}, {"dsPIC33FJ128GP306", 0x00E5, 3, k33F},
        {"dsPIC33FJ128GP310", 0x00E7, 3, k33F}, {"dsPIC33FJ128GP706", 0x00ED, 3, k33F},
        {"dsPIC33FJ128GP708", 0x00EE, 3, k33F}, {"dsPIC33FJ128GP710", 0x00EF, 3, k33F},
        {"dsPIC33FJ256GP506", 0x00F5, 3, k33F}, {"dsPIC33FJ256GP506A", 0x07F5, 3, k33F},
        {"dsPIC33FJ256GP510", 0x00F7, 3, k33F}, {"dsPIC33FJ256GP710", 0x00FF, 3, k33F},
        {"dsPIC33FJ64MC506", 0x0089, 3, k33F},  {"dsPIC33FJ64MC508", 0x008A, 3, k33F},
        {"dsPIC33FJ64MC510", 0x008B, 3, k33F},  {"dsPIC33FJ64MC706", 0x0091, 3, k33F},
        {"dsPIC33FJ64MC710", 0x0097, 3, k33F},  {"dsPIC33FJ128MC506", 0x00A1, 3, k33F},
        {"dsPIC33FJ128MC510", 0x00A3, 3, k33F}, {"dsPIC33FJ128MC706", 0x00A9, 3, k33F},
        {"dsPIC33FJ128MC708", 0x00AE, 3, k33F}, {"dsPIC33FJ128MC710", 0x00AF, 3, k33F},
        {"dsPIC33FJ256MC510", 0x00B7, 3, k33F}, {"dsPIC33FJ256MC710", 0x00BF, 3, k33F},
        {"PIC24HJ64GP206", 0x0041, 3, k24H},    {"PIC24HJ64GP210", 0x0047, 3, k24H},
        {"PIC24HJ64GP506", 0x0049, 3, k24H},    {"PIC24HJ64GP510", 0x004B, 3, k24H},
        {"PIC24HJ128GP206", 0x005D, 3, k24H},   {"PIC24HJ128GP210", 0x005F, 3, k24H},
        {"PIC24HJ128GP306", 0x0065, 3, k24H},   {"PIC24HJ128GP310", 0x0067, 3, k24H},
        {"PIC24HJ128GP506", 0x0061, 3, k24H},   {"PIC24HJ128GP510", 0x0063, 3, k24H},
        {"PIC24HJ256GP206", 0x0071, 3, k24H},   {"PIC24HJ256GP210", 0x0073, 3, k24H},
        {"PIC24HJ256GP610", 0x007B, 3, k24H},   {"PIC24FJ64GA006", 0x0405, 3, k24F},
        {"PIC24FJ64GA008", 0x0408, 3, k24F},    {"PIC24FJ64GA010", 0x040B, 3, k24F},
        {"PIC24FJ96GA006", 0x0406, 3, k24F},    {"PIC24FJ96GA008", 0x0409, 3, k24F},
        {"PIC24FJ96GA010", 0x040C, 3, k24F},    {"PIC24FJ128GA006", 0x0407, 3, k24F},
        {"PIC24FJ128GA008", 0x040A, 3, k24F},   {"PIC24FJ128GA010", 0x040D, 3, k24F},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const kelvo::DeviceEntry& e = kelvo::kDeviceTable[i];
        ASSERT_NE(e.name, nullptr) << "the table ends after " << i << " entries";
        EXPECT_STREQ(e.name, expected[i].name) << "entry " << i;
        EXPECT_EQ(e.deviceId, expected[i].deviceId) << expected[i].name;
        EXPECT_EQ(e.revision, expected[i].revision) << expected[i].name;
        EXPECT_EQ(e.family, expected[i].family) << expected[i].name;
    }
    const kelvo::DeviceEntry& end = kelvo::kDeviceTable[std::size(expected)];
    EXPECT_EQ(end.name, nullptr);
    EXPECT_EQ(end.deviceId, 0);
    EXPECT_EQ(end.revision, 0);
}

TEST(DeviceTable, LookupNeedsBothIdAndRevision) {
    EXPECT_EQ(kelvo::lookupFamily(0x0040, 1), DeviceFamily::dsPic30F);
    EXPECT_EQ(kelvo::lookupFamily(0x0040, 3), DeviceFamily::none);
    EXPECT_EQ(kelvo::lookupFamily(0x00C1, 1), DeviceFamily::dsPic30F);
    EXPECT_EQ(kelvo::lookupFamily(0x00C1, 3), DeviceFamily::dsPic33F);
    EXPECT_EQ(kelvo::lookupFamily(0x07F5, 3), DeviceFamily::dsPic33F);
    EXPECT_EQ(kelvo::lookupFamily(0x007B, 3), DeviceFamily::pic24H);
    EXPECT_EQ(kelvo::lookupFamily(0x040D, 3), DeviceFamily::pic24F);
    EXPECT_EQ(kelvo::lookupFamily(0x0000, 0), DeviceFamily::none);
}

TEST(Handshake, FirstPingAnswered) {
    kelvotest::TestUpdate update;
    SimThread sim(simFor("dsPIC30F2010"));
    kelvo::PortHandle port;
    connect(port, sim, update);
    EXPECT_TRUE(kelvo::waitForTarget(port));
    EXPECT_EQ(sim.stopped().pingsSeen(), 1);
}

TEST(Handshake, RefusedPingsFollowEachOtherWithoutWaiting) {
    kelvotest::TestUpdate update;
    kelvosim::SimOptions options = simFor("dsPIC30F2010");
    options.nakPings = 5;
    SimThread sim(options);
    kelvo::PortHandle port;
    connect(port, sim, update);
    const std::uint32_t start = kelvo::tickCount();
    EXPECT_TRUE(kelvo::waitForTarget(port));
    EXPECT_LT(kelvo::elapsedSince(start), update.limits().pingMs);
    EXPECT_EQ(sim.stopped().pingsSeen(), 6);
}

TEST(Handshake, GivesUpAfterTheHandshakeLimit) {
    kelvotest::TestUpdate update;
    for (bool silent : {true, false}) {
        kelvosim::SimOptions options = simFor("dsPIC30F2010");
        options.silent = silent;
        options.nakPings = silent ? 0 : 1000000;
        SimThread sim(options);
        kelvo::PortHandle port;
        connect(port, sim, update);
        const std::uint32_t start = kelvo::tickCount();
        EXPECT_FALSE(kelvo::waitForTarget(port));
        const std::uint32_t took = kelvo::elapsedSince(start);
        EXPECT_GE(took, update.limits().handshakeMs);
        EXPECT_LT(took, update.limits().handshakeMs + update.limits().pingMs + 200);
        const int perLimit = static_cast<int>(update.limits().handshakeMs / update.limits().pingMs);
        if (silent) {
            EXPECT_NEAR(sim.stopped().pingsSeen(), perLimit, 2);  // about one ping per ping limit
        } else {
            EXPECT_GT(sim.stopped().pingsSeen(), 5 * perLimit);  // no waiting between refused pings
        }
    }
}

// With the real limits: the line must be quiet for 100 ms before and after the identification,
// and a line that does not fall quiet within 1 s identifies nothing.
TEST(Identification, WhatTheLineStillHoldsAnswersNothing) {
    struct Case {
        const char* name;
        void (*fault)(kelvosim::SimOptions&);
        DeviceFamily family;
        kelvo::SendOutcome firstFrame;  // what becomes of the frame after the identification
    };
    const Case cases[] = {
        // The answer to the first ping comes after the second ping was sent: the answer to the
        // second follows it, a byte time later on a paced line.
        {"a late answer to a ping",
         [](kelvosim::SimOptions& o) {
             o.pingDelayMs = static_cast<int>(kelvo::kDefaultLimits.pingMs) + 100;
         },
         DeviceFamily::pic24H, kelvo::SendOutcome::acknowledged},
        {"noise after the handshake", [](kelvosim::SimOptions& o) { o.strayAfterPing = 40; },
         DeviceFamily::pic24H, kelvo::SendOutcome::acknowledged},
        // Its ninth byte, 0x01, must not acknowledge a frame that the target refuses.
        {"an identification one byte too long",
         [](kelvosim::SimOptions& o) {
             o.overlong = 1;
             o.refuseAll = true;
         },
         DeviceFamily::pic24H, kelvo::SendOutcome::refused},
        {"a stray 0x01 50 ms after the identification",
         [](kelvosim::SimOptions& o) {
             o.strayAfterIdMs = 50;
             o.refuseAll = true;
         },
         DeviceFamily::pic24H, kelvo::SendOutcome::refused},
        // Waited out: the frame goes out once, after it.
        {"a line that talks for 0.5 s after the identification",
         [](kelvosim::SimOptions& o) { o.talkAfterIdMs = 500; }, DeviceFamily::pic24H,
         kelvo::SendOutcome::acknowledged},
        {"a line that talks for 2 s after the identification",
         [](kelvosim::SimOptions& o) { o.talkAfterIdMs = 2000; }, DeviceFamily::none,
         kelvo::SendOutcome::skipped},
    };
    for (const Case& c : cases) {
        kelvosim::SimOptions options = simFor("PIC24HJ256GP610");
        options.baud = 9600;  // a line paced like a real one
        c.fault(options);
        SimThread sim(options);
        kelvotest::TestUpdate update(kelvo::kDefaultLimits);
        kelvo::PortHandle port;
        connect(port, sim, update);
        ASSERT_TRUE(kelvo::waitForTarget(port)) << c.name;
        EXPECT_EQ(kelvo::readDeviceFamily(port), c.family) << c.name;
        EXPECT_EQ(update.text(), "\nReading Target Device ID") << c.name;
        if (c.family == DeviceFamily::none) continue;
        const std::uint8_t frame[4] = {kelvo::kCmdWriteConfig, 0, 0x12, 0x34};
        EXPECT_EQ(kelvo::sendAcknowledged(port, frame, 4, nullptr, 0), c.firstFrame) << c.name;
        if (c.firstFrame == kelvo::SendOutcome::acknowledged) {
            EXPECT_EQ(occurrences(sim.stopped().received(), std::vector<std::uint8_t>(frame, frame + 4)), 1U)
                << c.name;
        }
    }
}

TEST(Identification, ShortRepliesAndTheRevisionNibble) {
    kelvotest::TestUpdate update;
    struct Case {
        std::uint16_t id;
        std::uint8_t revision;
        int length;
        DeviceFamily expected;
    };
    const Case cases[] = {
        {0x0040, 1, 8, DeviceFamily::dsPic30F}, {0x0040, 1, 7, DeviceFamily::dsPic30F},
        {0x0040, 1, 6, DeviceFamily::dsPic30F}, {0x0040, 1, 5, DeviceFamily::none},
        {0x00C1, 1, 8, DeviceFamily::dsPic30F}, {0x00C1, 3, 8, DeviceFamily::dsPic33F},
        {0x040D, 3, 8, DeviceFamily::pic24F},   {0x1234, 3, 8, DeviceFamily::none},
    };
    for (const Case& c : cases) {
        kelvosim::SimOptions options = simFor("dsPIC30F2010");
        options.chip.deviceId = c.id;
        options.chip.revision = c.revision;
        options.idLength = c.length;
        SimThread sim(options);
        kelvo::PortHandle port;
        connect(port, sim, update);
        ASSERT_TRUE(kelvo::waitForTarget(port));
        EXPECT_EQ(kelvo::readDeviceFamily(port), c.expected)
            << std::hex << c.id << " rev " << int{c.revision} << " length " << c.length;
    }
}

TEST(AcknowledgedSend, RefusedFrameIsSentAgainInFull) {
    kelvotest::TestUpdate update;
    kelvosim::SimOptions options = simFor("dsPIC30F2010");
    options.refuseFrame = 1;
    options.refuseCount = 2;
    SimThread sim(options);
    kelvo::PortHandle port;
    connect(port, sim, update);
    const std::uint8_t header[4] = {kelvo::kCmdWriteProgram, 0x40, 0x00, 0x00};
    std::vector<std::uint8_t> data(128);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 3);
    EXPECT_EQ(kelvo::sendAcknowledged(port, header, 4, data.data(), data.size()),
              kelvo::SendOutcome::acknowledged);
    kelvo::sendReset(port);
    kelvo::closePort(port);
    EXPECT_TRUE(sim.join());
    std::vector<std::uint8_t> frame(header, header + 4);
    frame.insert(frame.end(), data.begin(), data.end());
    EXPECT_EQ(occurrences(sim.target().received(), frame), 3U);
    EXPECT_EQ(sim.target().memory().instruction(0x40), 0x060300U);  // 00 03 06 in write order
}

TEST(AcknowledgedSend, GivesUpAfterTenRefusalsOrSilences) {
    kelvotest::TestUpdate update({60, 150, 1500, 20, 40, 300, 80, 1000});
    for (const bool refuse : {true, false}) {
        kelvosim::SimOptions options = simFor("dsPIC30F2010");
        options.refuseAll = refuse;
        options.silentAfterFrame = refuse ? -1 : 0;
        SimThread sim(options);
        kelvo::PortHandle port;
        connect(port, sim, update);
        const std::uint8_t header[4] = {kelvo::kCmdWriteConfig, 0, 0x12, 0x34};
        EXPECT_EQ(kelvo::sendAcknowledged(port, header, 4, nullptr, 0), kelvo::SendOutcome::refused);
        kelvo::sendReset(port);
        kelvo::closePort(port);
        sim.join();
        EXPECT_EQ(occurrences(sim.target().received(), {0x07, 0x00, 0x12, 0x34}), 10U) << refuse;
    }
}

TEST(AcknowledgedSend, SilenceEndsOnlyAnEmptyContinuationFrame) {
    kelvotest::TestUpdate update;
    kelvosim::SimOptions options = simFor("dsPIC30F2010");
    options.ignoreEmptyConfig = true;
    SimThread sim(options);
    kelvo::PortHandle port;
    connect(port, sim, update);
    const std::uint8_t first[4] = {kelvo::kCmdWriteConfig, 1, 0xFF, 0xFF};
    ASSERT_EQ(kelvo::sendAcknowledged(port, first, 4, nullptr, 0), kelvo::SendOutcome::acknowledged);
    const std::uint8_t empty[3] = {1, 0xFF, 0xFF};
    const std::uint32_t start = kelvo::tickCount();
    EXPECT_EQ(kelvo::sendAcknowledged(port, empty, 3, nullptr, 0), kelvo::SendOutcome::endedOnSilence);
    EXPECT_GE(kelvo::elapsedSince(start), update.limits().replyMs);
    const std::uint8_t word[3] = {0, 0xAB, 0xCD};
    EXPECT_EQ(kelvo::sendAcknowledged(port, word, 3, nullptr, 0), kelvo::SendOutcome::acknowledged);
    EXPECT_EQ(sim.stopped().memory().config(2), 0xCDABU);
}

TEST(AcknowledgedSend, InvalidHandleAndLostPort) {
    kelvotest::TestUpdate update;
    kelvo::PortHandle none;
    const std::uint8_t header[4] = {kelvo::kCmdWriteConfig, 0, 0, 0};
    EXPECT_EQ(kelvo::sendAcknowledged(none, header, 4, nullptr, 0), kelvo::SendOutcome::noPort);
    EXPECT_FALSE(kelvo::waitForTarget(none));
    EXPECT_EQ(kelvo::readDeviceFamily(none), DeviceFamily::none);

    SimThread sim(simFor("dsPIC30F2010"));
    kelvo::PortHandle port;
    connect(port, sim, update);
    sim.stopped().hangUp();
    EXPECT_EQ(kelvo::sendAcknowledged(port, header, 4, nullptr, 0), kelvo::SendOutcome::lost);
    EXPECT_EQ(kelvotest::countOf(update.text(), "\nLost connection to serial port"), 1U);
}

}  // namespace
