// Unit tests of the Win32 serial backend, run under Wine (or on Windows) against kelvo-sim on the
// COM port named by KELVO_TEST_COM. tests/win32-link-test.sh starts the simulator, runs this
// program and then checks what the simulator received.
#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/stop_request.h"
#include "common/time_limits.h"
#include "link/serial_link.h"
#include "link/win32_console.h"
#include "link/win32_io.h"
#include "link/win32_port_name.h"
#include "protocol/bootloader.h"

namespace {

std::string testPort() {
    const char* name = std::getenv("KELVO_TEST_COM");
    return name != nullptr ? name : "";
}

TEST(Win32PortName, ComPortsGetTheDevicePrefix) {
    EXPECT_EQ(kelvo::win32PortPath("COM3"), "\\\\.\\COM3");
    EXPECT_EQ(kelvo::win32PortPath("com10"), "\\\\.\\com10");
    EXPECT_EQ(kelvo::win32PortPath("Com256"), "\\\\.\\Com256");
    EXPECT_EQ(kelvo::win32PortPath("\\\\.\\COM12"), "\\\\.\\COM12");
    EXPECT_EQ(kelvo::win32PortPath("COM"), "COM");
    EXPECT_EQ(kelvo::win32PortPath("COM1:"), "COM1:");
    EXPECT_EQ(kelvo::win32PortPath("COMX"), "COMX");
    EXPECT_EQ(kelvo::win32PortPath("LPT1"), "LPT1");
}

TEST(Win32Link, NoPortAndAMissingPort) {
    kelvo::PortHandle port;
    EXPECT_EQ(kelvo::openPort(port, "COM249", "9600"), kelvo::OpenResult::noSuchPort);
    EXPECT_FALSE(port.valid());
}

// Row 112 of a dsPIC30F (word address 0x1C00): 32 instructions.
std::vector<std::uint8_t> rowData() {
    std::vector<std::uint8_t> data(128);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i % 4 == 3 ? 0 : i * 7 + 1);
    return data;
}

TEST(Win32Link, WritesOutliveTheCallersBuffer) {
    if (testPort().empty()) GTEST_SKIP() << "KELVO_TEST_COM names no port";
    kelvo::PortHandle port;
    ASSERT_EQ(kelvo::openPort(port, testPort().c_str(), "9600"), kelvo::OpenResult::opened);
    ASSERT_TRUE(kelvo::waitForTarget(port));
    {
        // Both buffers are overwritten and released straight after the calls return.
        auto header = std::make_unique<std::array<std::uint8_t, 4>>();
        *header = {kelvo::kCmdWriteProgram, 0x00, 0x1C, 0x00};
        auto data = std::make_unique<std::vector<std::uint8_t>>(rowData());
        kelvo::sendBytes(port, header->data(), header->size());
        kelvo::sendBytes(port, data->data(), data->size());
        header->fill(0xEE);
        std::fill(data->begin(), data->end(), std::uint8_t{0xEE});
    }
    std::uint8_t reply = 0;
    ASSERT_TRUE(kelvo::receiveExact(port, &reply, 1));
    EXPECT_EQ(reply, kelvo::kAck);

    const std::uint8_t read[4] = {kelvo::kCmdReadProgram, 0x00, 0x1C, 0x00};
    kelvo::sendBytes(port, read, 4);
    std::vector<std::uint8_t> back(128);
    ASSERT_TRUE(kelvo::receiveExact(port, back.data(), back.size()));
    const std::vector<std::uint8_t> sent = rowData();
    for (std::size_t p = 0; p < sent.size(); p += 4) {
        EXPECT_EQ(back[p + 3], sent[p]) << p;
        EXPECT_EQ(back[p + 2], sent[p + 1]) << p;
        EXPECT_EQ(back[p + 1], sent[p + 2]) << p;
    }
}

TEST(Win32Link, AReadForMoreThanIsQueuedReturnsInTimeAndLetsItsBufferGo) {
    if (testPort().empty()) GTEST_SKIP() << "KELVO_TEST_COM names no port";
    kelvo::PortHandle port;
    ASSERT_EQ(kelvo::openPort(port, testPort().c_str(), "9600"), kelvo::OpenResult::opened);
    const std::uint8_t ping = kelvo::kCmdPing;
    for (const std::size_t queued : {std::size_t{1}, std::size_t{0}}) {
        if (queued > 0) {
            kelvo::sendBytes(port, &ping, 1);
            Sleep(300);  // the answer is queued by now
        }
        std::array<std::uint8_t, 16> buffer{};
        const std::uint32_t start = kelvo::tickCount();
        const std::size_t got = kelvo::readPending(port, buffer.data(), buffer.size(), 300);
        EXPECT_LT(kelvo::elapsedSince(start), 1000U) << queued;
        ASSERT_EQ(got, queued);
        if (queued > 0) {
            EXPECT_EQ(buffer[0], kelvo::kAck);
        }
        // The buffer is the caller's again: what arrives from now on goes to the next receive.
        buffer.fill(0xEE);
        kelvo::sendBytes(port, &ping, 1);
        std::uint8_t next = 0;
        ASSERT_TRUE(kelvo::receiveExact(port, &next, 1)) << queued;
        EXPECT_EQ(next, kelvo::kAck);
        Sleep(100);
        for (std::uint8_t b : buffer) EXPECT_EQ(b, 0xEE) << "a read wrote into a buffer it had let go";
    }
}

TEST(Win32Link, CloseLetsPendingWritesLeaveThePort) {
    if (testPort().empty()) GTEST_SKIP() << "KELVO_TEST_COM names no port";
    kelvo::PortHandle port;
    ASSERT_EQ(kelvo::openPort(port, testPort().c_str(), "9600"), kelvo::OpenResult::opened);
    // Twenty rows of the sim's 0x1C00..: acknowledged as they come, then the reset, closed at once.
    for (std::uint32_t row = 0; row < 20; ++row) {
        std::uint8_t header[4] = {kelvo::kCmdWriteProgram, 0, 0, 0};
        kelvo::putWireAddress(&header[1], 0x1C00 + row * 64);
        const std::vector<std::uint8_t> data = rowData();
        kelvo::sendBytes(port, header, 4);
        kelvo::sendBytes(port, data.data(), data.size());
    }
    kelvo::sendReset(port);
    kelvo::closePort(port);
    EXPECT_FALSE(port.valid());
    // The script checks that the simulator saw every frame and the reset.
}

TEST(Win32Interrupt, EveryConsoleEventThatEndsARunStopsIt) {
    static kelvo::StopRequest stop;  // the handler keeps it for the life of the process
    kelvo::installInterruptHandler(stop);
    EXPECT_FALSE(kelvo::consoleControl(0x77));  // not an event of ours: the next handler's
    EXPECT_FALSE(stop.requested());
    for (const DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
        stop.clear();
        EXPECT_TRUE(kelvo::consoleControl(event));
        EXPECT_TRUE(stop.requested()) << event;
    }
    // Windows ends the process once the handler returns from these, so the handler holds on while
    // the run cleans up; the stop is requested at once all the same.
    for (const DWORD event : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        stop.clear();
        std::thread([event] { kelvo::consoleControl(event); }).detach();
        const std::uint32_t start = kelvo::tickCount();
        while (!stop.requested() && kelvo::elapsedSince(start) < 2000) Sleep(1);
        EXPECT_TRUE(stop.requested()) << event;
    }
    // A stopped run waits for nothing: a fixed pause ends at once.
    const std::uint32_t start = kelvo::tickCount();
    kelvo::sleepMs(2000, &stop);
    EXPECT_LT(kelvo::elapsedSince(start), 500U);
}

}  // namespace
