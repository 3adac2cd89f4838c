#include "station/station_options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <set>
#include <vector>

#include "station/shared_image.h"
#include "station/station_platform.h"

namespace kelvo {

namespace {

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
    } else if (at > kLastProgramWord - (kSerialWords - 1)) {
        std::snprintf(text2, sizeof text2,
                      "--serial-at 0x%" PRIX64
                      " is outside the program rows of every chip family (up to 0x%" PRIX64 ")",
                      at, kLastProgramWord - kSerialWords + 1);
    } else {
        plan.wordAddress = static_cast<std::uint32_t>(at);
        return true;
    }
    why = text2;
    return false;
}

// A SHA-256 digest: 64 hexadecimal digits, either case.
bool parseDigest(const std::string& text, std::string& digest) {
    if (text.size() != 64) return false;
    digest.clear();
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
        digest += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return true;
}

int usageError(const CLI::App& app, const std::string& why, std::FILE* out) {
    std::fprintf(out, "kelvo-station: %s\n\n%s", why.c_str(), app.help().c_str());
    return 2;
}

}  // namespace

int readStationOptions(int argc, char** argv, StationOptions& options, std::FILE* out) {
    StationConfig& config = options.config;
    CLI::App app{
        "Updates the firmware of Kelvo devices on many serial ports at once, device after device, with "
        "serial numbers and a record of every device.\n"
        "  kelvo-station report --help: the report of a log or of the ledger.",
        "kelvo-station"};
    // "/dev/ttyUSB0" and "/tmp/app.hex" are names, not Windows-style options, on every platform.
    app.allow_windows_style_options(false);
    app.add_option("-i,--interface", config.ports, "A serial port (repeat -i for each port)")
        ->required()
        ->expected(1)
        ->take_all();
    app.add_option("file", options.hexPath, "The Intel HEX file to write")->required();
    app.add_flag("--once", config.once, "Update one device on each port, then end");
    // Options that take one value are read as lists, so that one given twice is told plainly.
    struct Single {
        const char* name;
        const char* help;
        std::vector<std::string> values;
    };
    Single singles[] = {
        {"--count", "End once N devices have passed, in all ports together", {}},
        {"--serial", "Give every device a serial number from FIRST-LAST (decimal)", {}},
        {"--serial-at", "Where the serial number goes: a target word address (0x... or decimal)", {}},
        {"--log", "The record of every device, one JSON object a line (default: kelvo-station.jsonl)", {}},
        {"--image-sha256", "Refuse to start unless the file's SHA-256 is this one", {}},
        {"--ledger",
         "Record every device and take serial numbers in the factory's ledger: a PostgreSQL connection URI "
         "(postgresql://user@host/database) or keyword string",
         {}},
        {"--station", "The station's name in every record (default: the host name)", {}},
    };
    for (Single& single : singles)
        app.add_option(single.name, single.values, single.help)->expected(1)->take_all();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fprintf(out, "%s", app.help().c_str());
        return 0;
    } catch (const CLI::ParseError& e) {
        return usageError(app, e.what(), out);
    }
    for (const Single& single : singles) {
        if (single.values.size() > 1)
            return usageError(app, std::string(single.name) + " is given more than once", out);
    }
    auto value = [&](std::size_t i) {
        return singles[i].values.empty() ? std::string() : singles[i].values[0];
    };
    bool given[std::size(singles)] = {};
    for (std::size_t i = 0; i < std::size(singles); ++i) given[i] = !singles[i].values.empty();

    std::set<std::string> seen;
    for (const std::string& port : config.ports) {
        if (!seen.insert(port).second) return usageError(app, "the port " + port + " is named twice", out);
    }
    if (given[0] && (!parseNumber(value(0), 10, config.count) || config.count == 0)) {
        return usageError(app, "--count takes a number of devices, 1 or more", out);
    }
    if (given[1] != given[2]) return usageError(app, "--serial and --serial-at go together", out);
    if (given[1]) {
        SerialPlan plan;
        std::string why;
        if (!parseSerialRange(value(1), plan, why) || !parseSerialAt(value(2), plan, why)) {
            return usageError(app, why, out);
        }
        config.serials = plan;
    }
    if (given[3]) {
        if (value(3).empty()) return usageError(app, "--log takes the name of a file", out);
        config.logPath = value(3);
    }
    if (given[4] && !parseDigest(value(4), options.imageSha256)) {
        return usageError(app, "--image-sha256 takes the file's SHA-256: 64 hexadecimal digits", out);
    }
    if (given[5] && value(5).empty())
        return usageError(app, "--ledger takes a connection URI or string", out);
    config.ledger = value(5);
    config.station = given[6] ? value(6) : hostName();
    if (config.station.empty()) return usageError(app, "--station takes the station's name", out);
    return kOptionsComplete;
}

}  // namespace kelvo
