#include "station/device_log.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "station/station_platform.h"

namespace kelvo {

std::string isoTimeNow() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    utcTime(seconds, utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
    return text;
}

DeviceLog::~DeviceLog() {
    if (file_ != nullptr) std::fclose(file_);
}

LogOpen DeviceLog::openLocked(const std::string& path, std::string& error) {
    bool lastLineCut = false;
    const LogOpen opened = openLockedLog(path, file_, lastLineCut, error);
    if (opened != LogOpen::opened) return opened;
    // A record after a last line cut short starts on a line of its own.
    newLineFirst_ = lastLineCut;
    // Written through to the disk at once: a log that cannot be is found before any device.
    if (!syncToDisk(file_)) {
        error = std::strerror(errno);
        return LogOpen::failed;
    }
    return LogOpen::opened;
}

bool DeviceLog::open(const std::string& path, std::string& error) {
    switch (openLocked(path, error)) {
        case LogOpen::opened: return true;
        case LogOpen::notRegular: error = "it is not a regular file"; return false;
        case LogOpen::locked: error = "another station is using it"; return false;
        default: return false;
    }
}

bool DeviceLog::append(const nlohmann::json& record) {
    std::string line = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == nullptr) return false;
    if (newLineFirst_) line.insert(line.begin(), '\n');
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || !syncToDisk(file_)) {
        // What reached the file may be a part of the line: the next record starts on a new one.
        newLineFirst_ = true;
        std::clearerr(file_);
        return false;
    }
    newLineFirst_ = false;
    return true;
}

}  // namespace kelvo
