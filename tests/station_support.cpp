#include "tests/station_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace kelvotest {

using nlohmann::json;

bool stationIsWindows() {
    return !environment("KELVO_WINDOWS_STATION").empty();
}

std::vector<std::string> stationCommand(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {KELVO_STATION_BINARY};
    if (stationIsWindows()) {
        const std::string wine = environment("KELVO_WINE");
        argv = {wine.empty() ? "/usr/bin/wine" : wine, environment("KELVO_WINDOWS_STATION")};
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

ProcessResult station(const std::vector<std::string>& args, int timeoutSeconds) {
    ProcessResult r = runProcess(stationCommand(args), timeoutSeconds);
    std::string text;  // Windows' CRLF line ends folded
    for (std::size_t i = 0; i < r.output.size(); ++i) {
        if (!(r.output[i] == '\r' && i + 1 < r.output.size() && r.output[i + 1] == '\n')) text += r.output[i];
    }
    r.output = text;
    return r;
}

std::vector<json> records(const std::string& logPath) {
    std::vector<json> all;
    std::istringstream lines(readFile(logPath));
    std::string line;
    while (std::getline(lines, line)) all.push_back(json::parse(line, nullptr, false));
    return all;
}

Fixture::Fixture(const TempDir& dir, const std::string& name, std::vector<std::string> options)
    : link(dir.path(name)), dumps(dir.path(name + "-%d.hex")), statsPath(dir.path(name + ".stats")) {
    options.insert(options.end(), {"--link", link, "--dump", dumps, "--stats", statsPath});
    sim = std::make_unique<SimProcess>(options);
    port = std::make_unique<HostPort>(link);
}

std::string Fixture::dump(int device) const {
    return dumps.substr(0, dumps.size() - 6) + std::to_string(device) + ".hex";
}

Fixture::DeviceStats Fixture::stats(int device) const {
    // "device K resets R identifications I frames ..." a line per device
    std::istringstream lines(readFile(statsPath));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        int number = 0;
        DeviceStats stats;
        words >> word >> number >> word >> stats.resets >> word >> stats.identifications;
        if (number == device) return stats;
    }
    return {};
}

namespace {
const std::vector<std::string> kQuickFixture = {"--boot-window", "600", "--application-ms", "3600"};

}  // namespace

std::vector<std::string> fixtureOptions(std::vector<std::string> extra) {
    std::vector<std::string> options = kQuickFixture;
    options.insert(options.end(), extra.begin(), extra.end());
    return options;
}

// Whether the target's memory holds the image with serial number `serial` at word `wordAddress`
// (S0 S1 00 00 S2 S3 00 00 in the file's byte order), and nothing but erased padding besides.
void expectImageWithSerial(const std::string& dump, const std::string& image, std::uint32_t serial,
                           std::uint32_t wordAddress) {
    auto expected = srecCatBytes(image);
    const std::uint32_t at = 2 * wordAddress;
    for (std::uint32_t i = 0; i < 8; ++i) expected[at + i] = 0;
    expected[at] = serial & 0xFF;
    expected[at + 1] = (serial >> 8) & 0xFF;
    expected[at + 4] = (serial >> 16) & 0xFF;
    expected[at + 5] = (serial >> 24) & 0xFF;
    const auto held = srecCatBytes(dump);
    for (const auto& [address, value] : expected) {
        const auto it = held.find(address);
        ASSERT_NE(it, held.end()) << std::hex << "byte 0x" << address << " missing in " << dump;
        EXPECT_EQ(it->second, value) << std::hex << "byte 0x" << address << " of " << dump;
    }
    for (const auto& [address, value] : held) {
        if (expected.count(address) == 0 && address < 0x1F00000) {
            EXPECT_EQ(value, address % 4 == 3 ? 0x00 : 0xFF)
                << std::hex << "byte 0x" << address << " of " << dump;
        }
    }
}

}  // namespace kelvotest
