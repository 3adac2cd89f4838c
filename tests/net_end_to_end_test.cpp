// The real updater (the Linux binary, or the Windows build under Wine) on network ports, with the
// tool's real time limits: Debian's ser2net in front of kelvo-sim, or nothing that answers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <thread>
#include <vector>

#include "common/time_limits.h"
#include "tests/net_support.h"
#include "tests/test_support.h"

namespace {

using kelvotest::ProcessResult;
using kelvotest::SimProcess;
using kelvotest::TempDir;

const std::string kNotAble =
    "\nNot able to open serial port. Please make sure no other applications using Communication Port ";

// The device server switched off in the middle of a row: its system closes the connection, and
// the tool says so at once.
TEST(EndToEnd, ADeviceServerThatGoesAwayIsALostConnection) {
    TempDir dir;
    const std::string hex = dir.write("fw.hex", kelvotest::workedExampleHex());
    for (const bool rfc2217 : {true, false}) {
        SimProcess sim({"--row-ms", "4000"});
        kelvotest::Ser2net server(sim.port(), rfc2217);
        ASSERT_TRUE(server.ready());
        std::uint32_t killedAt = 0;
        std::thread killer([&] {
            server.waitForClient(20000);
            usleep(1500000);  // the row takes 4 s
            killedAt = kelvo::tickCount();
            server.kill();
        });
        const ProcessResult r = kelvotest::runHost({"-i", server.url(), hex});
        const std::uint32_t endedAt = kelvo::tickCount();
        killer.join();
        EXPECT_EQ(r.status, 1) << server.url();
        EXPECT_LT(endedAt - killedAt, 5000U) << server.url();
        EXPECT_TRUE(r.output.ends_with(kelvotest::writeLines(0, 111) + "\nLost connection to serial port " +
                                       server.url() + ".\n"))
            << r.output.substr(r.output.size() > 300 ? r.output.size() - 300 : 0);
        sim.finish(0);
    }
}

// Nothing listens, or nothing answers: the tool's message and the reason, status 1, within the
// connect limit, and the target is never reached.
TEST(EndToEnd, NetworkPortsThatCannotBeReached) {
    TempDir dir;
    const std::string hex = dir.write("fw.hex", kelvotest::workedExampleHex());
    const kelvotest::SilentListener silent;
    const std::string closed = "127.0.0.1:" + std::to_string(kelvotest::unusedPort());
    const std::string dropped = "127.0.0.1:" + std::to_string(silent.port());
    struct Case {
        std::string port;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"rfc2217://" + closed, closed + " refused the connection (nothing listens on that port)"},
        {"socket://" + dropped, "no answer from " + dropped + " within 10 s"},
    };
    std::vector<ProcessResult> results(cases.size());
    std::vector<std::uint32_t> took(cases.size());
    std::vector<std::thread> runs;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        runs.emplace_back([&, i] {
            const std::uint32_t start = kelvo::tickCount();
            results[i] = kelvotest::runHost({"-i", cases[i].port, hex});
            took[i] = kelvo::elapsedSince(start);
        });
    }
    for (std::thread& run : runs) run.join();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(results[i].status, 1) << cases[i].port;
        EXPECT_EQ(results[i].output, kNotAble + cases[i].port + ".\nNetwork: " + cases[i].reason + ".\n");
        EXPECT_LT(took[i], kelvo::kDefaultLimits.connectMs + (kelvotest::hostIsWindows() ? 3000U : 1000U))
            << cases[i].port;
    }
}

// Ctrl-C while the connection is being made ends the run at once.
TEST(EndToEnd, CtrlCWhileConnecting) {
    if (kelvotest::hostIsWindows()) GTEST_SKIP() << "a signal to wine is not a console event";
    TempDir dir;
    const std::string hex = dir.write("fw.hex", kelvotest::workedExampleHex());
    const kelvotest::SilentListener silent;
    kelvotest::TerminalRun run(
        kelvotest::hostCommand({"-i", "rfc2217://127.0.0.1:" + std::to_string(silent.port()), hex}));
    usleep(500000);
    const std::uint32_t start = kelvo::tickCount();
    run.signal(SIGINT);
    const int status = run.finish(3000);
    EXPECT_LT(kelvo::elapsedSince(start), 300U);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_EQ(run.text(), "\nInterrupted. The device has not been updated: reset it and update again.\n");
}

}  // namespace
