#include "protocol/bootloader.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "protocol/device_table.h"
#include "tests/test_support.h"

namespace {

using kelvo::DeviceFamily;
using kelvotest::ShortLimits;
using kelvotest::simFor;
using kelvotest::SimThread;

// Opens the host end of a simulated target's port.
void connect(kelvo::PortHandle& port, const SimThread& sim) {
    ASSERT_EQ(kelvo::openPort(port, sim.port().c_str(), "9600"), kelvo::OpenResult::opened);
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

TEST(DeviceTable, HoldsTheSupportedChipsInOrder) {
    std::size_t count = 0;
    std::set<std::pair<int, int>> keys;
    while (kelvo::kDeviceTable[count].name != nullptr) {
        const kelvo::DeviceEntry& e = kelvo::kDeviceTable[count];
        EXPECT_TRUE(keys.emplace(e.deviceId, e.revision).second) << e.name;
        EXPECT_EQ(e.revision, e.family == DeviceFamily::dsPic30F ? 1 : 3) << e.name;
        ++count;
    }
    EXPECT_EQ(count, 78U);
    EXPECT_EQ(kelvo::kDeviceTable[78].deviceId, 0);
    EXPECT_STREQ(kelvo::kDeviceTable[0].name, "dsPIC30F2010");
    EXPECT_STREQ(kelvo::kDeviceTable[27].name, "dsPIC30F6015");
    EXPECT_STREQ(kelvo::kDeviceTable[28].name, "dsPIC33FJ64GP206");
    EXPECT_STREQ(kelvo::kDeviceTable[56].name, "PIC24HJ64GP206");
    EXPECT_STREQ(kelvo::kDeviceTable[69].name, "PIC24FJ64GA006");
    EXPECT_STREQ(kelvo::kDeviceTable[77].name, "PIC24FJ128GA010");
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
    ShortLimits limits;
    SimThread sim(simFor("dsPIC30F2010"));
    kelvo::PortHandle port;
    connect(port, sim);
    EXPECT_TRUE(kelvo::waitForTarget(port));
    EXPECT_EQ(sim.target().pingsSeen(), 1);
}

TEST(Handshake, RefusedPingsFollowEachOtherWithoutWaiting) {
    ShortLimits limits;
    kelvosim::SimOptions options = simFor("dsPIC30F2010");
    options.nakPings = 5;
    SimThread sim(options);
    kelvo::PortHandle port;
    connect(port, sim);
    const std::uint32_t start = kelvo::tickCount();
    EXPECT_TRUE(kelvo::waitForTarget(port));
    EXPECT_LT(kelvo::elapsedSince(start), kelvo::timeLimits().pingMs);
    EXPECT_EQ(sim.target().pingsSeen(), 6);
}

TEST(Handshake, GivesUpAfterTheHandshakeLimit) {
    ShortLimits limits;
    for (bool silent : {true, false}) {
        kelvosim::SimOptions options = simFor("dsPIC30F2010");
        options.silent = silent;
        options.nakPings = silent ? 0 : 1000000;
        SimThread sim(options);
        kelvo::PortHandle port;
        connect(port, sim);
        const std::uint32_t start = kelvo::tickCount();
        EXPECT_FALSE(kelvo::waitForTarget(port));
        const std::uint32_t took = kelvo::elapsedSince(start);
        EXPECT_GE(took, kelvo::timeLimits().handshakeMs);
        EXPECT_LT(took, kelvo::timeLimits().handshakeMs + kelvo::timeLimits().pingMs + 200);
        const int perLimit = static_cast<int>(kelvo::timeLimits().handshakeMs / kelvo::timeLimits().pingMs);
        if (silent) {
            EXPECT_NEAR(sim.target().pingsSeen(), perLimit, 2);  // about one ping per ping limit
        } else {
            EXPECT_GT(sim.target().pingsSeen(), 5 * perLimit);  // no waiting between refused pings
        }
    }
}

TEST(Identification, LateAnswerToAPingIsNotTakenAsTheId) {
    ShortLimits limits;
    kelvosim::SimOptions options = simFor("dsPIC33FJ256GP710");
    options.pingDelayMs = static_cast<int>(kelvo::timeLimits().pingMs) + 100;
    SimThread sim(options);
    kelvo::PortHandle port;
    connect(port, sim);
    kelvotest::ConsoleCapture console;
    ASSERT_TRUE(kelvo::waitForTarget(port));
    EXPECT_EQ(kelvo::readDeviceFamily(port), DeviceFamily::dsPic33F);
    // The answer to the first ping came after the second was sent (and the simulator has read
    // the second by now, since it answered the identification that followed it).
    EXPECT_GE(sim.target().pingsSeen(), 2);
    EXPECT_EQ(console.text(), "\nReading Target Device ID");
}

TEST(Identification, StrayBytesAfterTheHandshakeAreDiscarded) {
    ShortLimits limits;
    kelvosim::SimOptions options = simFor("PIC24HJ256GP610");
    options.strayAfterPing = 40;
    SimThread sim(options);
    kelvo::PortHandle port;
    connect(port, sim);
    kelvotest::ConsoleCapture console;
    ASSERT_TRUE(kelvo::waitForTarget(port));
    EXPECT_EQ(kelvo::readDeviceFamily(port), DeviceFamily::pic24H);
}

TEST(Identification, ShortRepliesAndTheRevisionNibble) {
    ShortLimits limits;
    kelvotest::ConsoleCapture console;
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
        connect(port, sim);
        ASSERT_TRUE(kelvo::waitForTarget(port));
        EXPECT_EQ(kelvo::readDeviceFamily(port), c.expected)
            << std::hex << c.id << " rev " << int{c.revision} << " length " << c.length;
    }
}

TEST(AcknowledgedSend, RefusedFrameIsSentAgainInFull) {
    ShortLimits limits;
    kelvosim::SimOptions options = simFor("dsPIC30F2010");
    options.refuseFrame = 1;
    options.refuseCount = 2;
    SimThread sim(options);
    kelvo::PortHandle port;
    connect(port, sim);
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
    ShortLimits limits({60, 150, 1500, 20, 40});
    for (const bool refuse : {true, false}) {
        kelvosim::SimOptions options = simFor("dsPIC30F2010");
        options.refuseAll = refuse;
        options.silentAfterFrame = refuse ? -1 : 0;
        SimThread sim(options);
        kelvo::PortHandle port;
        connect(port, sim);
        const std::uint8_t header[4] = {kelvo::kCmdWriteConfig, 0, 0x12, 0x34};
        EXPECT_EQ(kelvo::sendAcknowledged(port, header, 4, nullptr, 0), kelvo::SendOutcome::refused);
        kelvo::sendReset(port);
        kelvo::closePort(port);
        sim.join();
        EXPECT_EQ(occurrences(sim.target().received(), {0x07, 0x00, 0x12, 0x34}), 10U) << refuse;
    }
}

TEST(AcknowledgedSend, SilenceEndsOnlyAnEmptyContinuationFrame) {
    ShortLimits limits;
    kelvosim::SimOptions options = simFor("dsPIC30F2010");
    options.ignoreEmptyConfig = true;
    SimThread sim(options);
    kelvo::PortHandle port;
    connect(port, sim);
    const std::uint8_t first[4] = {kelvo::kCmdWriteConfig, 1, 0xFF, 0xFF};
    ASSERT_EQ(kelvo::sendAcknowledged(port, first, 4, nullptr, 0), kelvo::SendOutcome::acknowledged);
    const std::uint8_t empty[3] = {1, 0xFF, 0xFF};
    const std::uint32_t start = kelvo::tickCount();
    EXPECT_EQ(kelvo::sendAcknowledged(port, empty, 3, nullptr, 0), kelvo::SendOutcome::endedOnSilence);
    EXPECT_GE(kelvo::elapsedSince(start), kelvo::timeLimits().replyMs);
    const std::uint8_t word[3] = {0, 0xAB, 0xCD};
    EXPECT_EQ(kelvo::sendAcknowledged(port, word, 3, nullptr, 0), kelvo::SendOutcome::acknowledged);
    EXPECT_EQ(sim.target().memory().config(2), 0xCDABU);
}

TEST(AcknowledgedSend, InvalidHandleAndLostPort) {
    ShortLimits limits;
    kelvo::PortHandle none;
    const std::uint8_t header[4] = {kelvo::kCmdWriteConfig, 0, 0, 0};
    EXPECT_EQ(kelvo::sendAcknowledged(none, header, 4, nullptr, 0), kelvo::SendOutcome::noPort);
    EXPECT_FALSE(kelvo::waitForTarget(none));
    EXPECT_EQ(kelvo::readDeviceFamily(none), DeviceFamily::none);

    kelvotest::ConsoleCapture console;
    SimThread sim(simFor("dsPIC30F2010"));
    kelvo::PortHandle port;
    connect(port, sim);
    sim.target().stop();
    sim.join();
    sim.target().hangUp();
    EXPECT_EQ(kelvo::sendAcknowledged(port, header, 4, nullptr, 0), kelvo::SendOutcome::lost);
    EXPECT_EQ(kelvotest::countOf(console.text(), "\nLost connection to serial port"), 1U);
}

}  // namespace
