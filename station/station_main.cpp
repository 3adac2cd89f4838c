// kelvo-station: updates many devices on many ports at once, device after device, with serial
// numbers and a record of every device.
#include <CLI/CLI.hpp>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "common/sha256.h"
#include "image/hex_file.h"
#include "link/serial_link.h"
#include "station/station.h"
#include "update/image_file.h"
#include "update/update_text.h"

namespace {

using kelvo::SerialPlan;
using kelvo::StationConfig;

// The program rows of the largest family end here (dsPIC30F's end at 0x1FFFF).
constexpr std::uint64_t kLastProgramWord = 0x1FFFFF;
// Rows below this word address are the bootloader's and are not read back.
constexpr std::uint64_t kFirstVerifiedWord = 0x1C00;

bool parseNumber(const std::string& text, int base, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    const std::from_chars_result got = std::from_chars(text.data(), end, value, base);
    return !text.empty() && got.ec == std::errc() && got.ptr == end;
}

// FIRST-LAST, in decimal.
bool parseSerialRange(const std::string& text, SerialPlan& plan, std::string& why) {
    const std::size_t dash = text.find('-');
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    if (dash == std::string::npos || !parseNumber(text.substr(0, dash), 10, first) ||
        !parseNumber(text.substr(dash + 1), 10, last)) {
        why = "--serial takes FIRST-LAST in decimal, such as 1000-1999";
        return false;
    }
    if (first > last || last > UINT32_MAX) {
        why = "--serial: FIRST must not exceed LAST, and both must fit in 32 bits";
        return false;
    }
    plan.first = static_cast<std::uint32_t>(first);
    plan.last = static_cast<std::uint32_t>(last);
    return true;
}

// WORDADDR: hexadecimal with 0x, or decimal; even, read back, inside some family's program rows.
bool parseSerialAt(const std::string& text, SerialPlan& plan, std::string& why) {
    std::uint64_t at = 0;
    const bool hex = text.starts_with("0x") || text.starts_with("0X");
    if (!parseNumber(hex ? text.substr(2) : text, hex ? 16 : 10, at)) {
        why = "--serial-at takes a target word address, in hexadecimal with 0x or in decimal";
        return false;
    }
    char text2[200];
    if (at % 2 != 0) {
        std::snprintf(text2, sizeof text2,
                      "--serial-at 0x%" PRIX64 " is odd: an instruction starts at an even word address", at);
    } else if (at < kFirstVerifiedWord) {
        std::snprintf(text2, sizeof text2,
                      "--serial-at 0x%" PRIX64 " is below word address 0x1C00, where rows are not read back",
                      at);
    } else if (at + kelvo::kSerialWords - 1 > kLastProgramWord) {
        std::snprintf(text2, sizeof text2,
                      "--serial-at 0x%" PRIX64
                      " is outside the program rows of every chip family (up to 0x%" PRIX64 ")",
                      at, kLastProgramWord - kelvo::kSerialWords + 1);
    } else {
        plan.wordAddress = static_cast<std::uint32_t>(at);
        return true;
    }
    why = text2;
    return false;
}

int usageError(const CLI::App& app, const std::string& why) {
    std::printf("kelvo-station: %s\n\n%s", why.c_str(), app.help().c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    kelvo::protectStandardStreams();
    kelvo::StopRequest stop;
    kelvo::installInterruptHandler(stop);

    StationConfig config;
    std::string hexPath;
    std::string serialRange;
    std::string serialAt;
    std::string imageSha256;
    CLI::App app{
        "Updates the firmware of Kelvo devices on many serial ports at once, device after device, with "
        "serial numbers and a record of every device.",
        "kelvo-station"};
    // "/dev/ttyUSB0" and "/tmp/app.hex" are names, not Windows-style options, on every platform.
    app.allow_windows_style_options(false);
    app.add_option("-i,--interface", config.ports, "A serial port (repeat -i for each port)")
        ->required()
        ->expected(1)
        ->take_all();
    app.add_option("file", hexPath, "The Intel HEX file to write")->required();
    app.add_flag("--once", config.once, "Update one device on each port, then end");
    app.add_option("--count", config.count, "End once N devices have passed, in all ports together")
        ->check(CLI::PositiveNumber);
    app.add_option("--serial", serialRange, "Give every device a serial number from FIRST-LAST (decimal)");
    app.add_option("--serial-at", serialAt,
                   "Where the serial number goes: a target word address (0x... or decimal)");
    app.add_option("--log", config.logPath, "The record of every device, one JSON object a line")
        ->capture_default_str();
    app.add_option("--image-sha256", imageSha256, "Refuse to start unless the file's SHA-256 is this one");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        return 0;
    } catch (const CLI::ParseError& e) {
        return usageError(app, e.what());
    }

    std::set<std::string> seen;
    for (const std::string& port : config.ports) {
        if (!seen.insert(port).second) return usageError(app, "the port " + port + " is named twice");
    }
    if (serialRange.empty() != serialAt.empty()) {
        return usageError(app, "--serial and --serial-at go together");
    }
    if (!serialRange.empty()) {
        SerialPlan plan;
        std::string why;
        if (!parseSerialRange(serialRange, plan, why) || !parseSerialAt(serialAt, plan, why)) {
            return usageError(app, why);
        }
        config.serials = plan;
    }

    // The file is read and checked once, before any port is opened.
    kelvo::HexFile file = kelvo::openHexFile(hexPath.c_str());
    if (!file) {
        std::printf("%s", kelvo::cannotOpenFileText(hexPath.c_str()).c_str());
        return 1;
    }
    kelvo::HexImage image;
    kelvo::HexProblem problem;
    kelvo::Sha256 digest;
    const kelvo::HexRead read = kelvo::readHexFile(file.get(), image, problem, &stop, &digest);
    file.reset();
    if (read == kelvo::HexRead::interrupted) {
        std::printf("%s", kelvo::kMsgInterrupted);
        return 130;
    }
    if (read == kelvo::HexRead::bad) {
        std::printf("%s", kelvo::badHexFileText(problem).c_str());
        return 1;
    }
    config.imageSha256 = digest.hexDigest();
    config.imageName = std::filesystem::path(hexPath).filename().string();
    std::string wanted = imageSha256;
    for (char& c : wanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!wanted.empty() && wanted != config.imageSha256) {
        std::printf(
            "The SHA-256 of %s is %s, not %s: this is not the image approved for the job; the station does "
            "not start.\n",
            hexPath.c_str(), config.imageSha256.c_str(), wanted.c_str());
        return 1;
    }
    return kelvo::runStation(config, std::move(image), stop, stdout);
}
