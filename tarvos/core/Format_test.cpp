#include "tarvos/core/Format.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"

namespace Tarvos {
namespace {

// Keeps every Write call, so that a test can tell "nothing written" from "empty text written".
class RecordingWriter final : public Writer, public ObjectImpl {
public:
    void Write(const char* data, int32_t length) override {
        writes.emplace_back(data, static_cast<size_t>(length));
    }
    void Flush() override { ++flushes; }
    std::string Text() const {
        std::string text;
        for (const auto& w : writes) {
            text += w;
        }
        return text;
    }

    std::vector<std::string> writes;
    int flushes = 0;
};

class Thing final : public ObjectImpl {};

int g_anchor = 0;

std::string Printf(const char* form, double value) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, form, value);
    return buffer;
}

// ---------------------------------------------------------------------------------------------
// Scanning the format.

struct ScanCase {
    std::string format;
    std::string expected;
};

std::ostream& operator<<(std::ostream& out, const ScanCase& c) {
    return out << '"' << c.format << "\" -> \"" << c.expected << '"';
}

class FormatScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(FormatScanTest, TwoArguments) {
    EXPECT_EQ(FormatString(GetParam().format, "A", std::string("B")), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FormatScanTest,
    ::testing::Values(ScanCase{"plain text", "plain text"}, ScanCase{"", ""}, ScanCase{"%1", "A"},
                      ScanCase{"<%1|%2>", "<A|B>"}, ScanCase{"%%1", "%1"}, ScanCase{"%%%1", "%A"},
                      ScanCase{"%%", "%"}, ScanCase{"%%%%", "%%"}, ScanCase{"100%%", "100%"},
                      ScanCase{"ends in %", "ends in "}, ScanCase{"%", ""}, ScanCase{"%%%", "%"},
                      ScanCase{"%1%", "A"}, ScanCase{"%a", "%a"},
                      ScanCase{"%s and %d", "%s and %d"}, ScanCase{"%0", "%0"},
                      ScanCase{"%10", "A0"}, ScanCase{"%21", "B1"}, ScanCase{"%1%1", "AA"},
                      ScanCase{"%2%1", "BA"}, ScanCase{"only %2", "only B"}, ScanCase{"% 1", "% 1"},
                      ScanCase{"%\n", "%\n"},
                      ScanCase{std::string("a\0%1", 4), std::string("a\0A", 3)}));

TEST(FormatScanErrorTest, PlaceholderBeyondTheArgumentsThrowsWithTheWholeFormat) {
    try {
        FormatString("first %1, second %2, third %3", 1, 2);
        FAIL() << "no exception";
    } catch (const InvalidFormatStringException& e) {
        EXPECT_STREQ(e.what(), "first %1, second %2, third %3");
    }
    EXPECT_THROW(FormatString("%9", 1, 2, 3, 4, 5, 6, 7, 8), InvalidFormatStringException);
    EXPECT_EQ(FormatString("%9%8%7%6%5%4%3%2%1", 1, 2, 3, 4, 5, 6, 7, 8, 9), "987654321");
    // An escaped or unused placeholder is no use of an argument.
    EXPECT_EQ(FormatString("%%3 %1", 1), "%3 1");
}

// ---------------------------------------------------------------------------------------------
// Argument kinds.

TEST(FormatArgumentTest, BooleansPrintAsWords) {
    EXPECT_EQ(FormatString("%1 %2", true, false), "true false");
}

TEST(FormatArgumentTest, IntegersPrintInDecimalAcrossTheirRanges) {
    EXPECT_EQ(FormatString("%1 %2 %3", std::numeric_limits<int32_t>::min(),
                           std::numeric_limits<int32_t>::max(), int32_t{0}),
              "-2147483648 2147483647 0");
    EXPECT_EQ(FormatString("%1", std::numeric_limits<uint32_t>::max()), "4294967295");
    EXPECT_EQ(FormatString("%1 %2", std::numeric_limits<int64_t>::min(),
                           std::numeric_limits<int64_t>::max()),
              "-9223372036854775808 9223372036854775807");
    EXPECT_EQ(FormatString("%1", std::numeric_limits<uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(FormatString("%1 %2", static_cast<short>(-7), static_cast<unsigned short>(65535)),
              "-7 65535");
    EXPECT_EQ(FormatString("%1 %2", 5LL, size_t{12}), "5 12");
}

TEST(FormatArgumentTest, CStringsAndNullPointers) {
    const char* none = nullptr;
    char mutableText[] = "mutable";
    EXPECT_EQ(FormatString("%1|%2|%3", "text", none, mutableText), "text|(null)|mutable");
    EXPECT_EQ(FormatString("[%1]", ""), "[]");
}

TEST(FormatArgumentTest, StringsKeepEmbeddedZeroBytes) {
    const std::string withZero("a\0b\0", 4);
    const std::string_view view("xy\0z", 4);
    const std::string out = FormatString("<%1><%2>", withZero, view);
    EXPECT_EQ(out, std::string("<a\0b\0><xy\0z>", 12));
}

TEST(FormatArgumentTest, ObjectsPrintTheirToString) {
    Ref<Thing> thing(new Thing());
    const Ref<Object> asObject(thing);
    const Thing* raw = thing.Get();
    const Ref<Thing> none;
    const Object* noObject = nullptr;
    EXPECT_EQ(FormatString("%1", thing), thing->ToString());
    EXPECT_EQ(FormatString("%1", asObject), thing->ToString());
    EXPECT_EQ(FormatString("%1", raw), thing->ToString());
    EXPECT_EQ(FormatString("%1|%2", none, noObject), "(null)|(null)");
    EXPECT_THAT(FormatString("%1", thing), ::testing::HasSubstr("Thing:0x"));
}

TEST(FormatArgumentTest, UntypedPointersPrintLikePrintfP) {
    int local = 0;
    const void* pointer = &local;
    const void* small = reinterpret_cast<const void*>(uintptr_t{0x1f});
    const void* none = nullptr;
    char expected[64];
    std::snprintf(expected, sizeof expected, "%8p", pointer);
    EXPECT_EQ(FormatString("%1", pointer), expected);
    std::snprintf(expected, sizeof expected, "%8p", small);
    EXPECT_EQ(FormatString("%1", small), expected);
    EXPECT_EQ(FormatString("%1", small), "    0x1f");
    EXPECT_EQ(FormatString("%1|%2", none, nullptr), "(null)|(null)");
}

class FormatDoubleTest : public ::testing::TestWithParam<double> {};

TEST_P(FormatDoubleTest, DoublesPrintLikePrintfG) {
    EXPECT_EQ(FormatString("%1", GetParam()), Printf("%g", GetParam()));
}

TEST_P(FormatDoubleTest, FloatsPrintLikePrintfF) {
    const auto value = static_cast<float>(GetParam());
    EXPECT_EQ(FormatString("%1", value), Printf("%f", value));
}

INSTANTIATE_TEST_SUITE_P(Values, FormatDoubleTest,
                         ::testing::Values(0.0, -0.0, 1.0, -1.5, 0.1, 1.0 / 3.0, 2.5, 0.5, 1e-5,
                                           1.234567e-5, 0.0001, 123456.0, 1234567.0, 999999.5,
                                           9999995.0, 1e15, 1e100, -1e-100, 3.14159265, 2.0e-7,
                                           -2.5e-7, 0.0000005, 1e38, 3.4028234663852886e38, DBL_MAX,
                                           -DBL_MAX, DBL_MIN, DBL_TRUE_MIN, 1e-310, FLT_MIN,
                                           FLT_TRUE_MIN, 16777217.0,
                                           std::numeric_limits<double>::infinity(),
                                           -std::numeric_limits<double>::infinity(),
                                           std::numeric_limits<double>::quiet_NaN(),
                                           -std::numeric_limits<double>::quiet_NaN()));

TEST(FormatArgumentTest, TimesPrintInTheirTextForms) {
    const DateTime utc = DateTime::Utc(1700000000123456);
    EXPECT_EQ(FormatString("%1", utc), "2023-11-14 22:13:20.123");
    EXPECT_EQ(FormatString("%1", DateTimeIso{utc}), "2023-11-14T22:13:20.123456Z");
    const int64_t micros = 1700000000123456;
    EXPECT_EQ(FormatString("%1", TimeStamp{micros}), DateTime::Local(micros).ToLogString());
}

// A further argument kind through FormatArgMaker.
struct Point {
    int x;
    int y;
};

}  // namespace

template <>
struct FormatArgMaker<Point> {
    static FormatArg Make(const Point& p) {
        return FormatArg(
            [](const FormatArg& arg, FormatBuffer& out) {
                const auto* point = static_cast<const Point*>(arg.GetValue().p);
                out.Assign("(" + std::to_string(point->x) + "," + std::to_string(point->y) + ")");
            },
            &p);
    }
};

namespace {

TEST(FormatArgumentTest, FurtherKindsComeThroughTheirMaker) {
    const Point p{3, -4};
    EXPECT_EQ(FormatString("at %1", p), "at (3,-4)");
}

TEST(FormatArgumentTest, LongRenderedTextsSurviveIntact) {
    const std::string longText(1000, 'q');
    const Point p{123456789, 987654321};
    EXPECT_EQ(FormatString("%1|%2|%1", longText, p),
              longText + "|(123456789,987654321)|" + longText);
}

// ---------------------------------------------------------------------------------------------
// printf forms through WithFormat.

TEST(FormatPrintfFormTest, FormsApplyToTheirKinds) {
    EXPECT_EQ(FormatString("%1", WithFormat("%08x", 255)), "000000ff");
    EXPECT_EQ(FormatString("%1", WithFormat("%.2f", 3.14159)), "3.14");
    EXPECT_EQ(FormatString("%1", WithFormat("%.1f", 2.25f)), "2.2");
    EXPECT_EQ(FormatString("%1", WithFormat("%I64d", int64_t{-9000000000})), "-9000000000");
    EXPECT_EQ(FormatString("%1", WithFormat("%I64d", 42)), "42");
    EXPECT_EQ(FormatString("%1", WithFormat("%5d", 42)), "   42");
    EXPECT_EQ(FormatString("%1|", WithFormat("%-5d", 42)), "42   |");
    EXPECT_EQ(FormatString("%1", WithFormat("%X", 0xdeadbeefu)), "DEADBEEF");
    EXPECT_EQ(FormatString("%1", WithFormat("%llx", uint64_t{0xfedcba9876543210})),
              "fedcba9876543210");
    EXPECT_EQ(FormatString("%1", WithFormat("%ld", 7)), "7");
    EXPECT_EQ(FormatString("%1", WithFormat("%hd", 70000)), "70000");
    EXPECT_EQ(FormatString("%1", WithFormat("%c", 65)), "A");
    EXPECT_EQ(FormatString("%1", WithFormat("[%+d%%]", 5)), "[+5%]");
    EXPECT_EQ(FormatString("%1", WithFormat("%e", 12345.0)), "1.234500e+04");
    EXPECT_EQ(FormatString("%1", WithFormat("%Lg", 0.5)), "0.5");
    int local = 0;
    char expected[64];
    std::snprintf(expected, sizeof expected, "%20p", static_cast<void*>(&local));
    EXPECT_EQ(FormatString("%1", WithFormat("%20p", static_cast<const void*>(&local))), expected);
}

TEST(FormatPrintfFormTest, OutputUpToTheKindsLimitIsAccepted) {
    EXPECT_EQ(FormatString("%1", WithFormat("%24d", 1)).size(), 24u);
    EXPECT_EQ(FormatString("%1", WithFormat("%50lld", int64_t{1})).size(), 50u);
    EXPECT_EQ(FormatString("%1", WithFormat("%50f", 1.0)).size(), 50u);
    EXPECT_EQ(FormatString("%1", WithFormat("%50f", 1.0f)).size(), 50u);
    EXPECT_EQ(FormatString("%1", WithFormat("%20p", static_cast<const void*>(&g_anchor))).size(),
              20u);
}

struct RejectedCase {
    const char* name;
    FormatArg arg;
    const char* form;
};

std::ostream& operator<<(std::ostream& out, const RejectedCase& c) {
    return out << c.name;
}

class FormatRejectedFormTest : public ::testing::TestWithParam<RejectedCase> {};

TEST_P(FormatRejectedFormTest, ThrowsWithTheFormAsMessage) {
    const FormatArg arg = GetParam().arg.WithPrintfForm(GetParam().form);
    try {
        FormatArgsToString("x%1", &arg, 1);
        FAIL() << "accepted " << GetParam().form;
    } catch (const InvalidFormatStringException& e) {
        EXPECT_STREQ(e.what(), GetParam().form);
    }
}

int g_target = 0;

INSTANTIATE_TEST_SUITE_P(
    Forms, FormatRejectedFormTest,
    ::testing::Values(
        RejectedCase{"StringForInt", FormatArg(5), "%s"},
        RejectedCase{"DecimalForDouble", FormatArg(2.5), "%d"},
        RejectedCase{"FloatForInt", FormatArg(int64_t{5}), "%f"},
        RejectedCase{"StarWidth", FormatArg(5), "%*d"},
        RejectedCase{"StarPrecision", FormatArg(2.5), "%.*f"},
        RejectedCase{"TwoConversions", FormatArg(5), "%d%d"},
        RejectedCase{"NoConversion", FormatArg(5), "plain"},
        RejectedCase{"EmptyForm", FormatArg(5), ""}, RejectedCase{"LonePercent", FormatArg(5), "%"},
        RejectedCase{"WriteBack", FormatArg(5), "%n"},
        RejectedCase{"CharFor64Bit", FormatArg(int64_t{65}), "%c"},
        RejectedCase{"IntForPointer", FormatArg(static_cast<const void*>(&g_target)), "%x"},
        RejectedCase{"IntTooWide", FormatArg(5), "%25d"},
        RejectedCase{"Int64TooWide", FormatArg(int64_t{5}), "%51lld"},
        RejectedCase{"DoubleTooLong", FormatArg(1e300), "%f"},
        RejectedCase{"FloatTooPrecise", FormatArg(1.0f), "%.60f"},
        RejectedCase{"PointerTooWide", FormatArg(static_cast<const void*>(&g_target)), "%21p"},
        RejectedCase{"HugeWidth", FormatArg(5), "%2147483647d"},
        RejectedCase{"HugePrecision", FormatArg(0.1), "%.2147483647g"},
        RejectedCase{"OverflowingWidth", FormatArg(0.1), "%99999999999999999999999g"}),
    [](const ::testing::TestParamInfo<RejectedCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Output through a Writer and into strings.

TEST(FormatWriterTest, WritesTheMessageInOneWrite) {
    Ref<RecordingWriter> out(new RecordingWriter());
    Format(*out, "%1 + %2 = %3", 2, 2, 4);
    EXPECT_EQ(out->writes, (std::vector<std::string>{"2 + 2 = 4"}));
    EXPECT_EQ(out->flushes, 0);
}

TEST(FormatWriterTest, FailingArgumentLeavesTheWriterUntouched) {
    Ref<RecordingWriter> out(new RecordingWriter());
    EXPECT_THROW(Format(*out, "before %1 %2", "fine", WithFormat("%s", 1)),
                 InvalidFormatStringException);
    EXPECT_THROW(Format(*out, "before %1 %2", "fine"), InvalidFormatStringException);
    EXPECT_TRUE(out->writes.empty());
}

TEST(FormatWriterTest, FailedAppendLeavesTheStringAsItWas) {
    std::string text = "kept";
    const FormatArg args[] = {FormatArg("x")};
    EXPECT_THROW(FormatArgsAppend(text, " %1 then %2", args, 1), InvalidFormatStringException);
    EXPECT_EQ(text, "kept");
    FormatArgsAppend(text, " %1", args, 1);
    EXPECT_EQ(text, "kept x");
}

TEST(FormatWriterTest, ArgumentsAreRenderedBeforeTheFormatIsScanned) {
    // A printer that fails is detected even when its placeholder is never reached.
    EXPECT_THROW(FormatString("%1", "a", WithFormat("%s", 1)), InvalidFormatStringException);
}

}  // namespace
}  // namespace Tarvos
