// Reading the log: line by line in bounded memory, every line that is not a record reported.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <utility>

#include "station/device_log.h"

namespace kelvo {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Takes the log's lines one at a time into a row per device.
class LogParser {
public:
    explicit LogParser(LogContents& contents) : contents_(contents) {}

    void line(const std::string& text, unsigned number, bool overlong) {
        if (overlong) {
            notRecord(number, "The log's line " + std::to_string(number) + " is longer than " +
                                  std::to_string(kMaxRecordBytes / 1024) + " KiB: not a record, skipped.");
            return;
        }
        if (text.find_first_not_of(" \t\r") == std::string::npos) return;
        const nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
        std::string station;
        std::uint64_t device = 0;
        if (recordKey(record, station, device)) {
            const auto [it, added] = index_.try_emplace({station, device}, contents_.devices.size());
            DeviceRow row = added ? DeviceRow{} : contents_.devices[it->second];
            if (applyRecord(record, row)) {
                if (added) {
                    contents_.devices.push_back(std::move(row));
                } else {
                    contents_.devices[it->second] = std::move(row);
                }
                return;
            }
            if (added) index_.erase(it);
        }
        notRecord(number, "The log's line " + std::to_string(number) +
                              " is not a record (a write cut short?): skipped.");
    }

private:
    void notRecord(unsigned number, std::string problem) {
        contents_.unreadableLines.push_back(number);
        contents_.problems.push_back(std::move(problem));
    }

    LogContents& contents_;
    std::map<std::pair<std::string, std::uint64_t>, std::size_t> index_;
};

}  // namespace

bool readLog(const std::string& path, LogContents& contents, std::string& error) {
    std::error_code code;
    const std::filesystem::file_status status = std::filesystem::status(path, code);
    if (status.type() == std::filesystem::file_type::not_found) return true;  // no log yet
    if (code) {
        error = code.message();
        return false;
    }
    // A FIFO would block, a device such as /dev/zero never end: only a regular file is a log.
    if (status.type() != std::filesystem::file_type::regular) {
        error = "not a regular file";
        return false;
    }
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    LogParser parser(contents);
    std::string line;
    bool overlong = false;
    unsigned number = 1;
    char chunk[16384];
    std::size_t got = 0;
    bool any = false;
    char last = '\n';
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        any = true;
        last = chunk[got - 1];
        std::size_t from = 0;
        while (from < got) {
            const void* found = std::memchr(chunk + from, '\n', got - from);
            const std::size_t to =
                found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - chunk) : got;
            if (!overlong) {
                line.append(chunk + from, to - from);
                if (line.size() > kMaxRecordBytes) {
                    overlong = true;
                    std::string().swap(line);
                }
            }
            if (found == nullptr) break;
            parser.line(line, number++, overlong);
            line.clear();
            overlong = false;
            from = to + 1;
        }
    }
    if (std::ferror(file.get())) {
        error = std::strerror(errno);
        return false;
    }
    contents.lastLineCut = any && last != '\n';
    if (contents.lastLineCut) parser.line(line, number, overlong);
    return true;
}

LogHistory historyOf(const LogContents& contents) {
    LogHistory history;
    for (const DeviceRow& row : contents.devices) {
        if (row.device > history.lastDevice) history.lastDevice = row.device;
        if (row.outcome == "unfinished") {
            history.unfinished.push_back({row.device, row.port, row.start, row.serial});
            if (row.serial) history.serialsNotFree.insert(*row.serial);
        } else if (row.outcome == "passed" && row.serial) {
            history.serialsNotFree.insert(*row.serial);
        }
    }
    history.unreadableLines = contents.unreadableLines;
    history.problems = contents.problems;
    return history;
}

bool readLogHistory(const std::string& path, LogHistory& history) {
    LogContents contents;
    std::string error;
    if (!readLog(path, contents, error)) return false;
    history = historyOf(contents);
    return true;
}

}  // namespace kelvo
