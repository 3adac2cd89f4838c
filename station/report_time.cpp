// The report's --since and --until: ISO 8601 dates and times, turned into UTC as records write it.
#include <cstdio>
#include <ctime>

#include "station/report.h"
#include "station/station_platform.h"

namespace kelvo {

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
long long daysFromCivil(long long year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

unsigned daysInMonth(int year, unsigned month) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// Takes `count` digits at `at` as a number.
bool digits(const std::string& text, std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

double recordSeconds(const std::string& iso) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &year, &month, &day, &hour, &minute, &second,
                    &millis) < 6 ||
        month < 1 || month > 12)
        return 0;
    return static_cast<double>(
               daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day))) *
               86400 +
           hour * 3600.0 + minute * 60.0 + second + millis / 1000.0;
}

bool parseReportTime(const std::string& text, bool endOfDay, std::string& utc) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    if (!digits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' || !digits(text, 5, 2, month) ||
        text[7] != '-' || !digits(text, 8, 2, day) || month < 1 || month > 12 || day < 1 ||
        static_cast<unsigned>(day) > daysInMonth(year, static_cast<unsigned>(month)))
        return false;
    std::size_t at = 10;
    const bool dateOnly = at == text.size();
    bool local = true;
    long long offsetMinutes = 0;
    if (!dateOnly) {
        if ((text[at] != 'T' && text[at] != ' ') || !digits(text, at + 1, 2, hour) || text.size() < at + 6 ||
            text[at + 3] != ':' || !digits(text, at + 4, 2, minute) || hour > 23 || minute > 59)
            return false;
        at += 6;
        if (at < text.size() && text[at] == ':') {
            if (!digits(text, at + 1, 2, second) || second > 59) return false;
            at += 3;
            if (at < text.size() && text[at] == '.') {
                std::size_t end = at + 1;
                while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
                if (end == at + 1) return false;
                // Milliseconds: the first three digits of the fraction.
                const std::string fraction = (text.substr(at + 1, end - at - 1) + "00").substr(0, 3);
                digits(fraction, 0, 3, millis);
                at = end;
            }
        }
        if (at < text.size() && text[at] == 'Z') {
            local = false;
            ++at;
        } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            int h = 0, m = 0;
            const std::size_t colon = at + 3 < text.size() && text[at + 3] == ':' ? 1 : 0;
            if (!digits(text, at + 1, 2, h) || !digits(text, at + 3 + colon, 2, m) || h > 23 || m > 59)
                return false;
            offsetMinutes = (text[at] == '+' ? 1 : -1) * (h * 60LL + m);
            local = false;
            at += 5 + colon;
        }
        if (at != text.size()) return false;
    }
    long long seconds = 0;
    if (local) {
        std::tm broken{};
        broken.tm_year = year - 1900;
        broken.tm_mon = month - 1;
        broken.tm_mday = day + (dateOnly && endOfDay ? 1 : 0);
        broken.tm_hour = hour;
        broken.tm_min = minute;
        broken.tm_sec = second;
        broken.tm_isdst = -1;
        const std::time_t t = std::mktime(&broken);
        if (t == static_cast<std::time_t>(-1)) return false;
        seconds = static_cast<long long>(t);
    } else {
        seconds = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                  hour * 3600LL + minute * 60LL + second - offsetMinutes * 60;
    }
    std::tm out{};
    utcTime(static_cast<std::time_t>(seconds), out);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", out.tm_year + 1900,
                  out.tm_mon + 1, out.tm_mday, out.tm_hour, out.tm_min, out.tm_sec, millis);
    utc = buffer;
    return true;
}

}  // namespace kelvo
