#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tarvos/core/Export.h"

namespace Tarvos {

// Microseconds since 1970-01-01 00:00 UTC from the system clock.
TARVOS_API int64_t GetSystemTimeMicros() noexcept;

// A point in time given as microseconds since 1970-01-01 00:00 UTC; as a formatter argument it
// prints as the local DateTime in log form.
struct TimeStamp {
    int64_t micros;
};

// A broken-down calendar time: century (year / 100), year within the century, month 1-12, day
// of month, day of week (0 = Sunday), hour, minute, second, millisecond, microsecond, the zone
// offset in minutes west of UTC (0 for UTC) and whether daylight saving time is in force.
//
// Text forms: the log form "CCYY-MM-DD hh:mm:ss.mmm" and the ISO 8601 form
// "CCYY-MM-DDThh:mm:ss[.fraction](Z|+hh:mm|-hh:mm)".
//
// Thread-safety: a value type; distinct values may be used on any threads.
class TARVOS_API DateTime {
public:
    DateTime() = default;
    DateTime(int32_t century, int32_t year, int32_t month, int32_t day, int32_t dayOfWeek,
             int32_t hour, int32_t minute, int32_t second, int32_t millisecond, int32_t microsecond,
             int32_t zoneOffsetMinutes = 0, bool daylightSaving = false);

    // The time `micros` (since 1970-01-01 UTC) as UTC: offset 0, no daylight saving.
    static DateTime Utc(int64_t micros);
    // The time `micros` in the process's local time zone, with its offset and daylight flag.
    static DateTime Local(int64_t micros);
    // Parses the ISO 8601 form; throws DateTimeFormatException on any mismatch. The day of week
    // is computed from the date.
    static DateTime ParseIso(std::string_view text);

    // The log form, fields clamped to their ranges.
    std::string ToLogString() const;
    void AppendLogForm(std::string& out) const;
    // The ISO 8601 form.
    std::string ToIsoString() const;
    void AppendIsoForm(std::string& out) const;

    int32_t GetCentury() const noexcept { return _century; }
    int32_t GetYearInCentury() const noexcept { return _year; }
    int32_t GetYear() const noexcept { return _century * 100 + _year; }
    int32_t GetMonth() const noexcept { return _month; }
    int32_t GetDay() const noexcept { return _day; }
    int32_t GetDayOfWeek() const noexcept { return _dayOfWeek; }
    int32_t GetHour() const noexcept { return _hour; }
    int32_t GetMinute() const noexcept { return _minute; }
    int32_t GetSecond() const noexcept { return _second; }
    int32_t GetMillisecond() const noexcept { return _millisecond; }
    int32_t GetMicrosecond() const noexcept { return _microsecond; }
    // Minutes west of UTC: positive west (America), negative east (Europe, Asia).
    int32_t GetZoneOffset() const noexcept { return _zoneOffset; }
    bool IsDaylightSaving() const noexcept { return _daylightSaving; }

    // Day of week (0 = Sunday) of a Gregorian date.
    static int32_t ComputeDayOfWeek(int32_t year, int32_t month, int32_t day) noexcept;

    bool operator==(const DateTime&) const = default;

private:
    int32_t _century = 0;
    int32_t _year = 0;
    int32_t _month = 0;
    int32_t _day = 0;
    int32_t _dayOfWeek = 0;
    int32_t _hour = 0;
    int32_t _minute = 0;
    int32_t _second = 0;
    int32_t _millisecond = 0;
    int32_t _microsecond = 0;
    int32_t _zoneOffset = 0;
    bool _daylightSaving = false;
};

// A DateTime to be printed by the formatter in its ISO 8601 form rather than its log form.
struct DateTimeIso {
    const DateTime& value;
};

}  // namespace Tarvos
