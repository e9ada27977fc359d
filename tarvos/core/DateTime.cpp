#include "tarvos/core/DateTime.h"

#include <sys/time.h>

#include <algorithm>
#include <ctime>

#include "tarvos/core/Exception.h"

namespace Tarvos {

namespace {

constexpr int64_t kMicrosPerSecond = 1000000;

int64_t FloorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) {
        --q;
    }
    return q;
}

void AppendTwoDigits(std::string& out, int32_t value) {
    out += static_cast<char>('0' + value / 10);
    out += static_cast<char>('0' + value % 10);
}

int32_t Clamp(int32_t value, int32_t low, int32_t high) {
    return std::clamp(value, low, high);
}

// Broken-down local time of one second, cached per thread: log lines ask for the same second
// many times, and localtime_r takes a process-wide lock.
struct LocalSecondCache {
    int64_t second = INT64_MIN;
    std::tm fields{};
};

bool ParseDigits(std::string_view text, size_t at, size_t count, int32_t& value) {
    value = 0;
    for (size_t i = 0; i < count; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return true;
}

}  // namespace

int64_t GetSystemTimeMicros() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * kMicrosPerSecond + now.tv_nsec / 1000;
}

DateTime::DateTime(int32_t century, int32_t year, int32_t month, int32_t day, int32_t dayOfWeek,
                   int32_t hour, int32_t minute, int32_t second, int32_t millisecond,
                   int32_t microsecond, int32_t zoneOffsetMinutes, bool daylightSaving)
    : _century(century),
      _year(year),
      _month(month),
      _day(day),
      _dayOfWeek(dayOfWeek),
      _hour(hour),
      _minute(minute),
      _second(second),
      _millisecond(millisecond),
      _microsecond(microsecond),
      _zoneOffset(zoneOffsetMinutes),
      _daylightSaving(daylightSaving) {}

DateTime DateTime::Utc(int64_t micros) {
    const int64_t seconds = FloorDiv(micros, kMicrosPerSecond);
    const auto fraction = static_cast<int32_t>(micros - seconds * kMicrosPerSecond);
    // Days to civil date (proleptic Gregorian), after H. Hinnant's algorithm.
    const int64_t days = FloorDiv(seconds, 86400);
    const auto secondOfDay = static_cast<int32_t>(seconds - days * 86400);
    const int64_t z = days + 719468;
    const int64_t era = FloorDiv(z, 146097);
    const auto doe = static_cast<int32_t>(z - era * 146097);
    const int32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int32_t mp = (5 * doy + 2) / 153;
    const int32_t day = doy - (153 * mp + 2) / 5 + 1;
    const int32_t month = mp < 10 ? mp + 3 : mp - 9;
    const auto year = static_cast<int32_t>(yoe + era * 400 + (month <= 2 ? 1 : 0));
    const auto dayOfWeek = static_cast<int32_t>(((days % 7) + 11) % 7);  // 1970-01-01: Thursday
    return DateTime(year / 100, year % 100, month, day, dayOfWeek, secondOfDay / 3600,
                    secondOfDay / 60 % 60, secondOfDay % 60, fraction / 1000, fraction % 1000, 0,
                    false);
}

DateTime DateTime::Local(int64_t micros) {
    thread_local LocalSecondCache cache;
    const int64_t seconds = FloorDiv(micros, kMicrosPerSecond);
    const auto fraction = static_cast<int32_t>(micros - seconds * kMicrosPerSecond);
    if (cache.second != seconds) {
        const auto t = static_cast<time_t>(seconds);
        // localtime_r may leave the fields half written when it fails.
        cache.second = INT64_MIN;
        if (localtime_r(&t, &cache.fields) == nullptr) {
            return Utc(micros);
        }
        cache.second = seconds;
    }
    const std::tm& f = cache.fields;
    const int32_t year = f.tm_year + 1900;
    return DateTime(year / 100, year % 100, f.tm_mon + 1, f.tm_mday, f.tm_wday, f.tm_hour, f.tm_min,
                    f.tm_sec, fraction / 1000, fraction % 1000,
                    static_cast<int32_t>(-f.tm_gmtoff / 60), f.tm_isdst > 0);
}

int32_t DateTime::ComputeDayOfWeek(int32_t year, int32_t month, int32_t day) noexcept {
    // Keith's formula.
    const int32_t z = month < 3 ? year - 1 : year;
    const int32_t y2 = month < 3 ? year : year - 2;
    return (z / 4 - z / 100 + z / 400 + 23 * month / 9 + y2 + day + 4) % 7;
}

void DateTime::AppendLogForm(std::string& out) const {
    AppendTwoDigits(out, Clamp(_century, 0, 99));
    AppendTwoDigits(out, Clamp(_year, 0, 99));
    out += '-';
    AppendTwoDigits(out, Clamp(_month, 0, 12));
    out += '-';
    AppendTwoDigits(out, Clamp(_day, 0, 31));
    out += ' ';
    AppendTwoDigits(out, Clamp(_hour, 0, 23));
    out += ':';
    AppendTwoDigits(out, Clamp(_minute, 0, 59));
    out += ':';
    AppendTwoDigits(out, Clamp(_second, 0, 59));
    out += '.';
    const int32_t ms = Clamp(_millisecond, 0, 999);
    out += static_cast<char>('0' + ms / 100);
    AppendTwoDigits(out, ms % 100);
}

std::string DateTime::ToLogString() const {
    std::string out;
    AppendLogForm(out);
    return out;
}

void DateTime::AppendIsoForm(std::string& out) const {
    std::string form;
    AppendLogForm(form);
    form.resize(19);  // without ".mmm"
    form[10] = 'T';
    out += form;
    const int32_t ms = Clamp(_millisecond, 0, 999);
    const int32_t us = Clamp(_microsecond, 0, 999);
    if (us != 0) {
        out += '.';
        out += static_cast<char>('0' + ms / 100);
        AppendTwoDigits(out, ms % 100);
        out += static_cast<char>('0' + us / 100);
        if (us % 100 != 0) {
            out += static_cast<char>('0' + us / 10 % 10);
            if (us % 10 != 0) {
                out += static_cast<char>('0' + us % 10);
            }
        }
    } else if (ms != 0) {
        out += '.';
        out += static_cast<char>('0' + ms / 100);
        if (ms % 100 != 0) {
            out += static_cast<char>('0' + ms / 10 % 10);
            if (ms % 10 != 0) {
                out += static_cast<char>('0' + ms % 10);
            }
        }
    }
    if (_zoneOffset == 0) {
        out += 'Z';
    } else {
        // The offset counts minutes west of UTC: west is written "-", east "+".
        out += _zoneOffset > 0 ? '-' : '+';
        const int32_t magnitude = _zoneOffset > 0 ? _zoneOffset : -_zoneOffset;
        AppendTwoDigits(out, Clamp(magnitude / 60, 0, 99));
        out += ':';
        AppendTwoDigits(out, magnitude % 60);
    }
}

std::string DateTime::ToIsoString() const {
    std::string out;
    AppendIsoForm(out);
    return out;
}

DateTime DateTime::ParseIso(std::string_view text) {
    // CCYY-MM-DDThh:mm:ss
    static constexpr struct {
        size_t at;
        char separator;
    } kSeparators[] = {{4, '-'}, {7, '-'}, {10, 'T'}, {13, ':'}, {16, ':'}};
    if (text.size() < 19) {
        throw DateTimeFormatException();
    }
    for (const auto& s : kSeparators) {
        if (text[s.at] != s.separator) {
            throw DateTimeFormatException();
        }
    }
    int32_t century = 0, year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!ParseDigits(text, 0, 2, century) || !ParseDigits(text, 2, 2, year) ||
        !ParseDigits(text, 5, 2, month) || !ParseDigits(text, 8, 2, day) ||
        !ParseDigits(text, 11, 2, hour) || !ParseDigits(text, 14, 2, minute) ||
        !ParseDigits(text, 17, 2, second)) {
        throw DateTimeFormatException();
    }
    size_t at = 19;
    int32_t fraction = 0;  // microseconds
    if (at < text.size() && text[at] == '.') {
        ++at;
        int32_t position = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            if (position < 6) {
                fraction = fraction * 10 + (text[at] - '0');
                ++position;
            }
            ++at;
        }
        for (; position < 6; ++position) {
            fraction *= 10;
        }
    }
    int32_t offset = 0;
    if (at < text.size()) {
        const char zone = text[at];
        if (zone == 'Z' && at + 1 == text.size()) {
            offset = 0;
        } else if ((zone == '+' || zone == '-') && text.size() - at == 6 && text[at + 3] == ':') {
            int32_t hours = 0, minutes = 0;
            if (!ParseDigits(text, at + 1, 2, hours) || !ParseDigits(text, at + 4, 2, minutes)) {
                throw DateTimeFormatException();
            }
            offset = hours * 60 + minutes;
            if (zone == '+') {
                offset = -offset;
            }
        } else {
            throw DateTimeFormatException();
        }
    }
    const int32_t fullYear = century * 100 + year;
    return DateTime(century, year, month, day, ComputeDayOfWeek(fullYear, month, day), hour, minute,
                    second, fraction / 1000, fraction % 1000, offset, false);
}

}  // namespace Tarvos
