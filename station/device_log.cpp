#include "station/device_log.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

#include "station/station_platform.h"

namespace kelvo {

namespace {

// The unsigned number a record gives for `key`, if it gives one.
std::optional<std::uint64_t> numberOf(const nlohmann::json& record, const char* key) {
    const auto it = record.find(key);
    if (it == record.end() || !it->is_number_unsigned()) return std::nullopt;
    return it->get<std::uint64_t>();
}

std::string textOf(const nlohmann::json& record, const char* key) {
    const auto it = record.find(key);
    return it != record.end() && it->is_string() ? it->get<std::string>() : "";
}

std::optional<std::uint32_t> serialOf(const nlohmann::json& record) {
    const std::optional<std::uint64_t> serial = numberOf(record, "serial");
    if (!serial || *serial > UINT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(*serial);
}

}  // namespace

bool readLogHistory(const std::string& path, LogHistory& history) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return !error;  // no log yet
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::map<std::uint64_t, UnfinishedDevice> started;
    std::string line;
    unsigned lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        const std::optional<std::uint64_t> device =
            record.is_object() ? numberOf(record, "device") : std::nullopt;
        const std::string event = record.is_object() ? textOf(record, "event") : "";
        if (!device || (event != "start" && event != "end")) {
            history.unreadableLines.push_back(lineNumber);
            continue;
        }
        if (*device > history.lastDevice) history.lastDevice = *device;
        if (event == "start") {
            started[*device] = {*device, textOf(record, "port"), textOf(record, "time"), serialOf(record)};
            continue;
        }
        started.erase(*device);
        const std::optional<std::uint32_t> serial = serialOf(record);
        if (serial && textOf(record, "outcome") == "passed") history.serialsNotFree.insert(*serial);
    }
    for (const auto& [device, unfinished] : started) {
        history.unfinished.push_back(unfinished);
        if (unfinished.serial) history.serialsNotFree.insert(*unfinished.serial);
    }
    return !in.bad();
}

std::string isoTimeNow() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
    return text;
}

DeviceLog::~DeviceLog() {
    if (file_ != nullptr) std::fclose(file_);
}

bool DeviceLog::open(const std::string& path, std::string& error) {
    file_ = std::fopen(path.c_str(), "ab");
    if (file_ == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    // Written through to the disk at once: a log that cannot be is found before any device.
    if (!syncToDisk(file_)) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

bool DeviceLog::append(const nlohmann::json& record) {
    const std::string line = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const std::lock_guard<std::mutex> lock(mutex_);
    return file_ != nullptr && std::fwrite(line.data(), 1, line.size(), file_) == line.size() &&
           syncToDisk(file_);
}

}  // namespace kelvo
