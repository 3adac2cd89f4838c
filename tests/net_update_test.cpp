// The driver in this process, with short time limits, against the simulated target behind Debian's
// ser2net: the acknowledgement rule and its quiet waits hold over the network as on a local line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/update_driver.h"
#include "tests/net_support.h"
#include "tests/test_support.h"

namespace {

using kelvotest::countOf;

struct NetCase {
    const char* name;
    void (*fault)(kelvosim::SimOptions&);
    int status;
    std::string needle;  // in the console text
    std::string frame;   // a frame that goes out exactly `sends` times
    std::size_t sends = 0;
    bool lowImage = false;  // an image below word address 0x1C00, not read back
};

class NetworkUpdate : public ::testing::TestWithParam<bool> {};

TEST_P(NetworkUpdate, LateAndStrayBytesAnswerNothing) {
    const bool rfc2217 = GetParam();
    kelvotest::TempDir dir;
    const std::string eof = kelvotest::hexRecord(1, 0, {});
    const std::string example = dir.write("fw.hex", kelvotest::workedExampleHex());
    const std::string low = dir.write("low.hex", kelvotest::hexRecord(0, 0x0100, {1, 2, 3, 0}) + eof);
    const std::string row112 = std::string("\x03\x00\x1C\x00\x11\x22\x33\x00", 8);
    const std::string notAccepted = "\nThe target Kelvo device did not accept block # ";
    const std::string success = "Frimware has been successfully updated";
    const NetCase cases[] = {
        // Every acknowledgement 100 ms after the limit: late for its own frame, and never taken
        // for the answer to the resend.
        {"acknowledgements 100 ms late",
         [](kelvosim::SimOptions& o) { o.rowMs = static_cast<int>(kelvotest::kShortLimits.replyMs) + 100; },
         1, notAccepted + "112.", row112, 10},
        {"noise after the handshake", [](kelvosim::SimOptions& o) { o.strayAfterPing = 40; }, 0, success,
         row112, 1},
        {"every reply one byte too long", [](kelvosim::SimOptions& o) { o.overlong = 1; }, 0, success, row112,
         1},
        // On a paced line a stray 0x01 a few milliseconds after a refusal arrives while the resent
        // frame is still on its way.
        {"a stray 0x01 after each refusal",
         [](kelvosim::SimOptions& o) {
             o.refuseAll = true;
             o.strayAfterRefusalMs = 5;
             o.baud = 9600;
         },
         1, notAccepted + "2.", std::string("\x03\x80\x00\x00", 4), 10, true},
        {"a silent target", [](kelvosim::SimOptions& o) { o.silent = true; }, 1,
         "\nThe target Kelvo device is not responding, pleas try again.", "", 0},
    };
    for (const NetCase& c : cases) {
        kelvosim::SimOptions options = kelvotest::simFor("dsPIC30F2010");
        c.fault(options);
        kelvotest::SimThread sim(options);
        kelvotest::Ser2net server(sim.port(), rfc2217);
        ASSERT_TRUE(server.ready());
        std::string output;
        const int status = kelvotest::runDriver({"-i", server.url(), c.lowImage ? low : example}, output);
        sim.stopped();
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_NE(output.find(c.needle), std::string::npos)
            << c.name << ": ..." << output.substr(output.size() > 400 ? output.size() - 400 : 0);
        EXPECT_EQ(countOf(output, "Lost connection"), 0U) << c.name;
        const std::vector<std::uint8_t>& received = sim.target().received();
        if (c.sends > 0) {
            EXPECT_EQ(countOf(std::string(received.begin(), received.end()), c.frame), c.sends) << c.name;
        }
        if (c.status == 0) {
            EXPECT_EQ(sim.target().memory().instruction(0x1C00), 0x332211U) << c.name;
        }
        // Only a raw TCP port leaves the line settings to the device server, and says so.
        const std::string settings =
            "\nA socket:// port passes the bytes as they are: the device server's port must be set to 9600 "
            "baud, 8 data bits, odd parity, 1 stop bit.\n";
        EXPECT_EQ(countOf(output, settings), options.silent && !rfc2217 ? 1U : 0U) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Ser2net, NetworkUpdate, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "rfc2217" : "socket");
                         });

}  // namespace
