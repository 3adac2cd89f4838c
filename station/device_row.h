#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelvo {

// Everything the station records of one device, as the log's start and end records together and
// as the ledger's row hold it. A device whose end is not recorded yet (in progress, or its station
// stopped during its update) has the outcome "unfinished" and no end time.
struct DeviceRow {
    std::string station;
    std::string port;
    std::uint64_t device = 0;  // unique per station
    std::optional<std::uint32_t> serial;
    std::string outcome = "unfinished";  // passed, failed, interrupted or unfinished
    std::string phase;                   // where an update that did not pass ended
    std::string message;                 // and the text kelvoup would have printed
    std::string chip;                    // empty when the chip was never identified
    std::string family;
    std::optional<std::uint32_t> deviceId;
    std::optional<std::uint32_t> revision;
    std::string image;
    std::string imageSha256;
    std::string start;  // ISO 8601, UTC, to the millisecond
    std::string end;    // empty while unfinished
    std::optional<std::uint64_t> resends;
    std::optional<std::uint64_t> rowsWritten;
    std::optional<std::uint64_t> rowsVerified;
    std::optional<double> seconds;
    // The words of the image that no row sends to this chip: how many, and the first few word
    // addresses ("0xf8000e 0xf80010"); none when there are none.
    std::optional<std::uint64_t> wordsNotSent;
    std::string wordsNotSentAt;

    bool finished() const { return outcome != "unfinished"; }
};

// The outcomes a row can have, in the order a summary shows them.
inline constexpr const char* kOutcomes[] = {"passed", "failed", "interrupted", "unfinished"};

bool isOutcome(const std::string& text);

}  // namespace kelvo
