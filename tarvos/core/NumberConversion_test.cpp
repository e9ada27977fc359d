#include "tarvos/core/NumberConversion.h"

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"

namespace Tarvos {
namespace {

enum class Outcome { Value, FormatError, RangeError };

struct IntegerCase {
    const char* function;
    std::function<int64_t(std::string_view)> convert;
    std::string text;
    Outcome outcome;
    int64_t value;
};

std::ostream& operator<<(std::ostream& out, const IntegerCase& c) {
    return out << c.function << "(\"" << c.text << "\")";
}

IntegerCase Int8(std::string text, Outcome outcome, int64_t value = 0) {
    return {"StringToInt8", [](std::string_view t) { return StringToInt8(t); }, std::move(text),
            outcome, value};
}
IntegerCase Int16(std::string text, Outcome outcome, int64_t value = 0) {
    return {"StringToInt16", [](std::string_view t) { return StringToInt16(t); }, std::move(text),
            outcome, value};
}
IntegerCase Int32(std::string text, Outcome outcome, int64_t value = 0) {
    return {"StringToInt32", [](std::string_view t) { return StringToInt32(t); }, std::move(text),
            outcome, value};
}
IntegerCase Hex(std::string text, Outcome outcome, int64_t value = 0) {
    return {"StringToInt32Hex", [](std::string_view t) { return StringToInt32Hex(t); },
            std::move(text), outcome, value};
}
IntegerCase Int64(std::string text, Outcome outcome, int64_t value = 0) {
    return {"StringToInt64", [](std::string_view t) { return StringToInt64(t); }, std::move(text),
            outcome, value};
}

constexpr Outcome kValue = Outcome::Value;
constexpr Outcome kFormat = Outcome::FormatError;
constexpr Outcome kRange = Outcome::RangeError;

class IntegerConversionTest : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerConversionTest, ConvertsOrThrowsTheRightException) {
    const IntegerCase& c = GetParam();
    switch (c.outcome) {
        case Outcome::Value:
            EXPECT_EQ(c.convert(c.text), c.value);
            break;
        case Outcome::FormatError:
            try {
                c.convert(c.text);
                FAIL() << "converted";
            } catch (const NumberRangeException&) {
                FAIL() << "range error instead of format error";
            } catch (const NumberFormatException& e) {
                EXPECT_STREQ(e.what(), "Error formatting number");
            }
            break;
        case Outcome::RangeError:
            try {
                c.convert(c.text);
                FAIL() << "converted";
            } catch (const NumberRangeException& e) {
                EXPECT_STREQ(e.what(), "Number range exception");
            }
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Int8, IntegerConversionTest,
    ::testing::Values(Int8("12 ", kValue, 12), Int8("12\t\r\n ", kValue, 12),
                      Int8(" -7", kValue, -7), Int8("+5", kValue, 5), Int8("", kValue, 0),
                      Int8("127", kValue, 127), Int8("-128", kValue, -128), Int8("12x", kFormat),
                      Int8("12 x", kFormat), Int8("x12", kFormat), Int8("-", kFormat),
                      Int8("1.5", kFormat), Int8(std::string("1\0", 2), kFormat),
                      Int8("300", kRange), Int8("128", kRange), Int8("-129", kRange)));

INSTANTIATE_TEST_SUITE_P(Int16, IntegerConversionTest,
                         ::testing::Values(Int16("32767", kValue, 32767),
                                           Int16("-32768", kValue, -32768), Int16("0\n", kValue, 0),
                                           Int16("32768", kRange), Int16("-32769", kRange),
                                           Int16("7f", kFormat)));

INSTANTIATE_TEST_SUITE_P(
    Int32, IntegerConversionTest,
    ::testing::Values(Int32("2147483647", kValue, 2147483647),
                      Int32("-2147483648", kValue, -2147483648LL), Int32("", kValue, 0),
                      Int32("007", kValue, 7), Int32("2147483648", kRange),
                      Int32("-2147483649", kRange), Int32("99999999999999999999", kRange),
                      Int32("0x10", kFormat), Int32("1e3", kFormat), Int32("12,5", kFormat)));

INSTANTIATE_TEST_SUITE_P(
    Hex, IntegerConversionTest,
    ::testing::Values(Hex("ff", kValue, 255), Hex("0x1A", kValue, 26), Hex("FF \r\n", kValue, 255),
                      Hex("7fffffff", kValue, 0x7fffffff), Hex("-80000000", kValue, -2147483648LL),
                      Hex("", kValue, 0), Hex("80000000", kRange), Hex("ffffffffff", kRange),
                      Hex("fg", kFormat), Hex("0x", kFormat)));

INSTANTIATE_TEST_SUITE_P(
    Int64, IntegerConversionTest,
    ::testing::Values(Int64("", kValue, 0), Int64("0", kValue, 0), Int64("+42", kValue, 42),
                      Int64("-42", kValue, -42),
                      Int64("9223372036854775807", kValue, std::numeric_limits<int64_t>::max()),
                      Int64("-9223372036854775808", kValue, std::numeric_limits<int64_t>::min()),
                      Int64("9223372036854775808", kRange), Int64("-9223372036854775809", kRange),
                      Int64("99999999999999999999", kRange),
                      Int64("-100000000000000000000", kRange), Int64(" 1", kFormat),
                      Int64("1 ", kFormat), Int64("12x", kFormat), Int64("--1", kFormat),
                      Int64("1-", kFormat), Int64("+-1", kFormat), Int64("0x1", kFormat),
                      Int64(std::string("1\0", 2), kFormat)));

TEST(FloatConversionTest, ScansLikeScanf) {
    EXPECT_EQ(StringToFloat("1.5"), 1.5f);
    EXPECT_EQ(StringToFloat("  -2.25e2"), -225.0f);
    EXPECT_EQ(StringToFloat("3.5xyz"), 3.5f);
    EXPECT_EQ(StringToFloat("0.1"), 0.1f);
    EXPECT_TRUE(std::isinf(StringToFloat("inf")));
    EXPECT_EQ(StringToDouble("0.1"), 0.1);
    EXPECT_EQ(StringToDouble("1e308"), 1e308);
    EXPECT_EQ(StringToDouble("-4.9406564584124654e-324"), -4.9406564584124654e-324);
    EXPECT_EQ(StringToDouble("12 "), 12.0);
    EXPECT_TRUE(std::isnan(StringToDouble("nan")));
}

TEST(FloatConversionTest, NothingScannedThrows) {
    for (const char* text : {"", "   ", "abc", "-", ".", "e5", "x1.0"}) {
        EXPECT_THROW(StringToFloat(text), NumberFormatException) << text;
        EXPECT_THROW(StringToDouble(text), NumberFormatException) << text;
    }
}

}  // namespace
}  // namespace Tarvos
