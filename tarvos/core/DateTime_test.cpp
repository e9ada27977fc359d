#include "tarvos/core/DateTime.h"

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"

namespace Tarvos {
namespace {

constexpr int64_t kSecond = 1000000;

// ---------------------------------------------------------------------------------------------
// UTC conversion.

struct UtcCase {
    int64_t micros;
    int32_t year, month, day, dayOfWeek, hour, minute, second, millisecond, microsecond;
    const char* logForm;
};

std::ostream& operator<<(std::ostream& out, const UtcCase& c) {
    return out << c.logForm;
}

class DateTimeUtcTest : public ::testing::TestWithParam<UtcCase> {};

TEST_P(DateTimeUtcTest, FieldsAndLogForm) {
    const UtcCase& c = GetParam();
    const DateTime t = DateTime::Utc(c.micros);
    EXPECT_EQ(t.GetYear(), c.year);
    EXPECT_EQ(t.GetCentury(), c.year / 100);
    EXPECT_EQ(t.GetYearInCentury(), c.year % 100);
    EXPECT_EQ(t.GetMonth(), c.month);
    EXPECT_EQ(t.GetDay(), c.day);
    EXPECT_EQ(t.GetDayOfWeek(), c.dayOfWeek);
    EXPECT_EQ(t.GetHour(), c.hour);
    EXPECT_EQ(t.GetMinute(), c.minute);
    EXPECT_EQ(t.GetSecond(), c.second);
    EXPECT_EQ(t.GetMillisecond(), c.millisecond);
    EXPECT_EQ(t.GetMicrosecond(), c.microsecond);
    EXPECT_EQ(t.GetZoneOffset(), 0);
    EXPECT_FALSE(t.IsDaylightSaving());
    EXPECT_EQ(t.ToLogString(), c.logForm);
}

INSTANTIATE_TEST_SUITE_P(
    KnownInstants, DateTimeUtcTest,
    ::testing::Values(
        UtcCase{0, 1970, 1, 1, 4, 0, 0, 0, 0, 0, "1970-01-01 00:00:00.000"},
        UtcCase{-1, 1969, 12, 31, 3, 23, 59, 59, 999, 999, "1969-12-31 23:59:59.999"},
        UtcCase{-86400 * kSecond + 1, 1969, 12, 31, 3, 0, 0, 0, 0, 1, "1969-12-31 00:00:00.000"},
        UtcCase{951782400 * kSecond + 86399 * kSecond + 999999, 2000, 2, 29, 2, 23, 59, 59, 999,
                999, "2000-02-29 23:59:59.999"},
        UtcCase{951868800 * kSecond, 2000, 3, 1, 3, 0, 0, 0, 0, 0, "2000-03-01 00:00:00.000"},
        UtcCase{1709164800 * kSecond + 45296789012, 2024, 2, 29, 4, 12, 34, 56, 789, 12,
                "2024-02-29 12:34:56.789"},
        UtcCase{1700000000123456, 2023, 11, 14, 2, 22, 13, 20, 123, 456, "2023-11-14 22:13:20.123"},
        UtcCase{-2208988800 * kSecond, 1900, 1, 1, 1, 0, 0, 0, 0, 0, "1900-01-01 00:00:00.000"},
        UtcCase{-2203977600 * kSecond, 1900, 2, 28, 3, 0, 0, 0, 0, 0, "1900-02-28 00:00:00.000"},
        UtcCase{-2203891200 * kSecond, 1900, 3, 1, 4, 0, 0, 0, 0, 0, "1900-03-01 00:00:00.000"},
        UtcCase{-11670998400 * kSecond, 1600, 2, 29, 2, 0, 0, 0, 0, 0, "1600-02-29 00:00:00.000"},
        UtcCase{4107542400 * kSecond, 2100, 3, 1, 1, 0, 0, 0, 0, 0, "2100-03-01 00:00:00.000"},
        UtcCase{253402214400 * kSecond + 86399 * kSecond, 9999, 12, 31, 5, 23, 59, 59, 0, 0,
                "9999-12-31 23:59:59.000"},
        UtcCase{-62135596800 * kSecond, 1, 1, 1, 1, 0, 0, 0, 0, 0, "0001-01-01 00:00:00.000"}));

TEST(DateTimeUtcSweepTest, AgreesWithGmtimeAndKeithsFormula) {
    // Every 1 000 003 seconds (a prime, so that hours and days drift) from 1901 to 2099, and a
    // few hundred microsecond offsets around midnights.
    for (int64_t seconds = -2177452800; seconds < 4102444800; seconds += 1000003) {
        for (const int64_t delta : {int64_t{0}, int64_t{-1}, int64_t{86399 * kSecond}}) {
            const int64_t micros = seconds * kSecond + delta;
            const DateTime t = DateTime::Utc(micros);
            const time_t whole =
                static_cast<time_t>((micros >= 0 ? micros : micros - (kSecond - 1)) / kSecond);
            std::tm expected{};
            ASSERT_NE(gmtime_r(&whole, &expected), nullptr);
            ASSERT_EQ(t.GetYear(), expected.tm_year + 1900) << micros;
            ASSERT_EQ(t.GetMonth(), expected.tm_mon + 1) << micros;
            ASSERT_EQ(t.GetDay(), expected.tm_mday) << micros;
            ASSERT_EQ(t.GetHour(), expected.tm_hour) << micros;
            ASSERT_EQ(t.GetMinute(), expected.tm_min) << micros;
            ASSERT_EQ(t.GetSecond(), expected.tm_sec) << micros;
            ASSERT_EQ(t.GetDayOfWeek(), expected.tm_wday) << micros;
            ASSERT_EQ(DateTime::ComputeDayOfWeek(t.GetYear(), t.GetMonth(), t.GetDay()),
                      expected.tm_wday)
                << micros;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Day of week.

struct WeekdayCase {
    int32_t year, month, day, dayOfWeek;
};

std::ostream& operator<<(std::ostream& out, const WeekdayCase& c) {
    return out << c.year << "-" << c.month << "-" << c.day;
}

class DayOfWeekTest : public ::testing::TestWithParam<WeekdayCase> {};

TEST_P(DayOfWeekTest, KeithsFormula) {
    const WeekdayCase& c = GetParam();
    EXPECT_EQ(DateTime::ComputeDayOfWeek(c.year, c.month, c.day), c.dayOfWeek);
}

INSTANTIATE_TEST_SUITE_P(KnownDates, DayOfWeekTest,
                         ::testing::Values(WeekdayCase{1970, 1, 1, 4}, WeekdayCase{2000, 1, 1, 6},
                                           WeekdayCase{2000, 2, 29, 2}, WeekdayCase{2000, 3, 1, 3},
                                           WeekdayCase{1900, 2, 28, 3}, WeekdayCase{1900, 3, 1, 4},
                                           WeekdayCase{2024, 2, 29, 4},
                                           WeekdayCase{2023, 12, 25, 1},
                                           WeekdayCase{1582, 10, 15, 5}, WeekdayCase{2100, 3, 1, 1},
                                           WeekdayCase{1, 1, 1, 1}, WeekdayCase{9999, 12, 31, 5}));

// ---------------------------------------------------------------------------------------------
// Text forms.

TEST(DateTimeLogFormTest, FieldsAreClampedToTheirRanges) {
    EXPECT_EQ(DateTime(123, -5, 13, 40, 0, 24, 60, 61, 1000, 0).ToLogString(),
              "9900-12-31 23:59:59.999");
    EXPECT_EQ(DateTime(-1, 100, -1, -1, 0, -1, -1, -1, -1, 0).ToLogString(),
              "0099-00-00 00:00:00.000");
    EXPECT_EQ(DateTime(20, 7, 3, 9, 0, 4, 5, 6, 7, 0).ToLogString(), "2007-03-09 04:05:06.007");
    std::string appended = "at ";
    DateTime(20, 7, 3, 9, 0, 4, 5, 6, 70, 0).AppendLogForm(appended);
    EXPECT_EQ(appended, "at 2007-03-09 04:05:06.070");
}

struct IsoCase {
    int32_t millisecond;
    int32_t microsecond;
    int32_t offset;
    const char* iso;
};

std::ostream& operator<<(std::ostream& out, const IsoCase& c) {
    return out << c.iso;
}

class DateTimeIsoFormTest : public ::testing::TestWithParam<IsoCase> {
protected:
    DateTime Make() const {
        const IsoCase& c = GetParam();
        return DateTime(20, 21, 3, 4, 4, 5, 6, 7, c.millisecond, c.microsecond, c.offset);
    }
};

TEST_P(DateTimeIsoFormTest, Formats) {
    EXPECT_EQ(Make().ToIsoString(), GetParam().iso);
}

TEST_P(DateTimeIsoFormTest, ParsesBackToTheSameValue) {
    const DateTime parsed = DateTime::ParseIso(GetParam().iso);
    EXPECT_EQ(parsed, Make());
    EXPECT_EQ(parsed.ToIsoString(), GetParam().iso);
}

INSTANTIATE_TEST_SUITE_P(FractionsAndZones, DateTimeIsoFormTest,
                         ::testing::Values(IsoCase{0, 0, 0, "2021-03-04T05:06:07Z"},
                                           IsoCase{500, 0, 0, "2021-03-04T05:06:07.5Z"},
                                           IsoCase{50, 0, 0, "2021-03-04T05:06:07.05Z"},
                                           IsoCase{5, 0, 0, "2021-03-04T05:06:07.005Z"},
                                           IsoCase{120, 0, 0, "2021-03-04T05:06:07.12Z"},
                                           IsoCase{123, 0, 0, "2021-03-04T05:06:07.123Z"},
                                           IsoCase{0, 1, 0, "2021-03-04T05:06:07.000001Z"},
                                           IsoCase{0, 10, 0, "2021-03-04T05:06:07.00001Z"},
                                           IsoCase{0, 100, 0, "2021-03-04T05:06:07.0001Z"},
                                           IsoCase{0, 500, 0, "2021-03-04T05:06:07.0005Z"},
                                           IsoCase{123, 400, 0, "2021-03-04T05:06:07.1234Z"},
                                           IsoCase{123, 450, 0, "2021-03-04T05:06:07.12345Z"},
                                           IsoCase{123, 456, 0, "2021-03-04T05:06:07.123456Z"},
                                           IsoCase{100, 5, 0, "2021-03-04T05:06:07.100005Z"},
                                           IsoCase{0, 0, 300, "2021-03-04T05:06:07-05:00"},
                                           IsoCase{0, 0, -330, "2021-03-04T05:06:07+05:30"},
                                           IsoCase{0, 0, -60, "2021-03-04T05:06:07+01:00"},
                                           IsoCase{250, 0, 45, "2021-03-04T05:06:07.25-00:45"},
                                           IsoCase{0, 0, 720, "2021-03-04T05:06:07-12:00"},
                                           IsoCase{0, 0, -840, "2021-03-04T05:06:07+14:00"}));

TEST(DateTimeIsoFormTest, SingleFractionDigitWithZIsHalfASecond) {
    const DateTime t = DateTime::ParseIso("2010-06-15T12:00:00.5Z");
    EXPECT_EQ(t.GetMillisecond(), 500);
    EXPECT_EQ(t.GetMicrosecond(), 0);
    EXPECT_EQ(t.GetZoneOffset(), 0);
    EXPECT_EQ(t.ToIsoString(), "2010-06-15T12:00:00.5Z");
}

TEST(DateTimeParseTest, ReadsEveryField) {
    const DateTime t = DateTime::ParseIso("1999-12-31T23:58:57.123456789-08:00");
    EXPECT_EQ(t.GetYear(), 1999);
    EXPECT_EQ(t.GetMonth(), 12);
    EXPECT_EQ(t.GetDay(), 31);
    EXPECT_EQ(t.GetDayOfWeek(), 5);
    EXPECT_EQ(t.GetHour(), 23);
    EXPECT_EQ(t.GetMinute(), 58);
    EXPECT_EQ(t.GetSecond(), 57);
    EXPECT_EQ(t.GetMillisecond(), 123);
    EXPECT_EQ(t.GetMicrosecond(), 456);
    EXPECT_EQ(t.GetZoneOffset(), 480);
    EXPECT_FALSE(t.IsDaylightSaving());
}

TEST(DateTimeParseTest, WithoutZoneTheOffsetIsZero) {
    const DateTime t = DateTime::ParseIso("2024-02-29T00:00:01");
    EXPECT_EQ(t.GetZoneOffset(), 0);
    EXPECT_EQ(t.GetDayOfWeek(), 4);
    EXPECT_EQ(t.ToIsoString(), "2024-02-29T00:00:01Z");
    EXPECT_EQ(DateTime::ParseIso("2024-02-29T00:00:01.7").GetMillisecond(), 700);
}

TEST(DateTimeParseTest, RoundTripsThroughUtc) {
    for (int64_t micros : {int64_t{0}, int64_t{-1}, int64_t{1700000000123456},
                           int64_t{-2208988800} * kSecond + 10, int64_t{951782400} * kSecond}) {
        const DateTime t = DateTime::Utc(micros);
        EXPECT_EQ(DateTime::ParseIso(t.ToIsoString()), t) << t.ToIsoString();
    }
}

class DateTimeMalformedTest : public ::testing::TestWithParam<const char*> {};

TEST_P(DateTimeMalformedTest, Throws) {
    try {
        DateTime::ParseIso(GetParam());
        FAIL() << "parsed";
    } catch (const DateTimeFormatException& e) {
        EXPECT_STREQ(e.what(), "Error formatting DateTime");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, DateTimeMalformedTest,
    ::testing::Values("", "2021-03-04", "2021-03-04T05:06", "2021-03-04T05:06:0",
                      "2021-03-04 05:06:07", "2021/03/04T05:06:07", "2021-03-04T05-06-07",
                      "2021-03-04T05:06:7Z", "x021-03-04T05:06:07Z", "2021-0a-04T05:06:07Z",
                      "2021-03-04T05:06:07z", "2021-03-04T05:06:07ZZ", "2021-03-04T05:06:07Z ",
                      "2021-03-04T05:06:07 ", "2021-03-04T05:06:07.12x", "2021-03-04T05:06:07.5 Z",
                      "2021-03-04T05:06:07+0530", "2021-03-04T05:06:07+05:3",
                      "2021-03-04T05:06:07+05:300", "2021-03-04T05:06:07+5:30",
                      "2021-03-04T05:06:07+a5:30", "2021-03-04T05:06:07+05-30",
                      "2021-03-04T05:06:07+05:3a", "2021-03-04T05:06:07+", "2021-03-04T05:06:07-",
                      "2021-03-04T05:06:07,5Z", "+021-03-04T05:06:07Z", "2021-03-04T-5:06:07Z"));

// ---------------------------------------------------------------------------------------------
// Local time. The zone is switched through TZ and restored afterwards; each case uses its own
// instants.

class DateTimeLocalTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ")) {
            _saved = tz;
        }
    }
    void TearDown() override {
        if (_saved) {
            setenv("TZ", _saved->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    static void UseZone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }

private:
    std::optional<std::string> _saved;
};

TEST_F(DateTimeLocalTest, UtcZoneMatchesUtc) {
    UseZone("UTC0");
    const int64_t micros = 1600000000654321;
    const DateTime local = DateTime::Local(micros);
    EXPECT_EQ(local, DateTime::Utc(micros));
}

TEST_F(DateTimeLocalTest, ZoneWestWithDaylightSaving) {
    UseZone("EST5EDT,M3.2.0,M11.1.0");
    // 2021-07-01 12:00:00.250 UTC is 08:00 daylight time, four hours west.
    const DateTime summer = DateTime::Local(1625140800 * kSecond + 250000);
    EXPECT_EQ(summer.ToLogString(), "2021-07-01 08:00:00.250");
    EXPECT_EQ(summer.GetZoneOffset(), 240);
    EXPECT_TRUE(summer.IsDaylightSaving());
    EXPECT_EQ(summer.GetDayOfWeek(), 4);
    EXPECT_EQ(summer.ToIsoString(), "2021-07-01T08:00:00.25-04:00");
    // 2021-01-01 03:00:00 UTC is 22:00 standard time on the day before.
    const DateTime winter = DateTime::Local(1609470000 * kSecond);
    EXPECT_EQ(winter.ToLogString(), "2020-12-31 22:00:00.000");
    EXPECT_EQ(winter.GetZoneOffset(), 300);
    EXPECT_FALSE(winter.IsDaylightSaving());
    EXPECT_EQ(winter.GetDayOfWeek(), 4);
}

TEST_F(DateTimeLocalTest, ZoneEastOfUtc) {
    UseZone("IST-5:30");
    // 1999-12-31 20:00:00 UTC is 01:30 on New Year's Day.
    const DateTime t = DateTime::Local(946670400 * kSecond + 1);
    EXPECT_EQ(t.ToLogString(), "2000-01-01 01:30:00.000");
    EXPECT_EQ(t.GetMicrosecond(), 1);
    EXPECT_EQ(t.GetZoneOffset(), -330);
    EXPECT_EQ(t.ToIsoString(), "2000-01-01T01:30:00.000001+05:30");
}

TEST_F(DateTimeLocalTest, BeforeTheEpoch) {
    UseZone("EST5");
    const DateTime t = DateTime::Local(-1);
    EXPECT_EQ(t.ToLogString(), "1969-12-31 18:59:59.999");
    EXPECT_EQ(t.GetMicrosecond(), 999);
    EXPECT_EQ(t.GetZoneOffset(), 300);
}

TEST(DateTimeClockTest, SystemTimeIsNearTheWallClock) {
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    const int64_t now = GetSystemTimeMicros() / kSecond;
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    // Microseconds, not milliseconds or nanoseconds: within a second of time(2).
    EXPECT_GE(now, before - 1);
    EXPECT_LE(now, after + 1);
}

}  // namespace
}  // namespace Tarvos
