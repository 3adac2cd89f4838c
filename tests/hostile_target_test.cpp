// A target that misbehaves: noise, a line that never falls quiet, replies longer than asked, a
// line dropped in the middle of a row, frames echoed back. In every case the run ends within its
// time limits and leaves the port closed; it reports success only where the target really holds
// the image (replies that are merely too long, whose extra bytes are discarded). (Under the sanitizer build
// these also show that nothing is read or written outside its buffers.)
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "cli/update_driver.h"
#include "common/time_limits.h"
#include "link/serial_link.h"
#include "tests/test_support.h"

namespace {

using kelvotest::SimThread;

struct Hostile {
    const char* name;
    std::function<void(kelvosim::SimOptions&)> set;
    bool canPass = false;  // the target writes what it is sent, however it answers
};

class HostileTarget : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileTarget, EndsInTimeWithoutSuccessAndReleasesThePort) {
    const kelvo::TimeLimits& t = kelvotest::kShortLimits;
    kelvosim::SimOptions options = kelvotest::simFor("dsPIC33FJ256GP710");
    GetParam().set(options);
    kelvotest::TempDir dir;
    // Rows 7 and 8 are read back, so a confused exchange cannot pass verification.
    const std::string file = dir.write("fw.hex", kelvotest::hexRecord(0, 0x3800, {1, 2, 3, 0}) +
                                                     kelvotest::hexRecord(0, 0x4000, {4, 5, 6, 0}) +
                                                     kelvotest::hexRecord(1, 0, {}));
    SimThread sim(options);
    const std::string port = sim.port();
    std::string output;
    const std::uint32_t start = kelvo::tickCount();
    const int status = kelvotest::runDriver({"-i", port, file}, output);
    const std::uint32_t took = kelvo::elapsedSince(start);

    const bool passed = kelvotest::countOf(output, "Frimware has been successfully updated") == 1;
    EXPECT_EQ(status == kelvo::kExitUpdated, passed);
    if (passed) {
        EXPECT_TRUE(GetParam().canPass) << output.substr(0, 300);
        EXPECT_EQ(sim.stopped().memory().instruction(0x1C00), 0x030201U);
        EXPECT_EQ(sim.target().memory().instruction(0x2000), 0x060504U);
    }
    // The longest a run may take: the handshake, the quiet wait, the identification, ten tries
    // of one row, the pauses and the read-backs of the two rows.
    const std::uint32_t bound =
        t.handshakeMs + 2 * t.replyMs + 10 * t.replyMs + 2 * t.pauseMs + 2 * t.replyMs + 1000;
    EXPECT_LT(took, bound);
    // The port was closed: it opens again at once (unless the target hung up for good).
    if (GetParam().name != std::string("hangsUpMidRow")) {
        kelvo::PortHandle again;
        EXPECT_EQ(kelvo::openPort(again, port.c_str(), "9600"), kelvo::OpenResult::opened);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sim, HostileTarget,
    ::testing::Values(Hostile{"garbage", [](kelvosim::SimOptions& o) { o.garbage = true; }},
                      Hostile{"flood", [](kelvosim::SimOptions& o) { o.flood = true; }},
                      Hostile{"overlong", [](kelvosim::SimOptions& o) { o.overlong = 5; }, true},
                      Hostile{"overlongAndFlood",
                              [](kelvosim::SimOptions& o) {
                                  o.overlong = 3000;
                                  o.flood = true;
                              }},
                      Hostile{"hangsUpMidRow", [](kelvosim::SimOptions& o) { o.hangupAfterFrame = 1; }},
                      Hostile{"echo", [](kelvosim::SimOptions& o) { o.echo = true; }}),
    [](const ::testing::TestParamInfo<Hostile>& info) { return std::string(info.param.name); });

TEST(HostileTarget, FloodThroughTheRealBinary) {
    // With the real limits a flooding target is given up on after the handshake or the quiet wait
    // bound; the noise makes the identification fail.
    kelvotest::TempDir dir;
    const std::string hex = dir.write("fw.hex", kelvotest::workedExampleHex());
    kelvotest::SimProcess sim({"--flood"});
    const kelvotest::HostPort port(sim.port());
    const std::uint32_t start = kelvo::tickCount();
    const kelvotest::ProcessResult r = kelvotest::runHost({"-i", port.name(), hex}, 120);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(kelvotest::countOf(r.output, "Frimware"), 0U);
    EXPECT_LT(kelvo::elapsedSince(start), 75000U);
}

}  // namespace
