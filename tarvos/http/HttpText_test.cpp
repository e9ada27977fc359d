#include "tarvos/http/HttpText.h"

#include <cstdio>
#include <ctime>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tarvos/core/Base64.h"
#include "tarvos/http/Cookie.h"

namespace Tarvos::Http {
namespace {

std::string Date(int64_t micros) {
    std::string text = "stale";
    FormatHttpDate(micros, text);
    return text;
}

TEST(FormatHttpDateTest, KnownInstantsIncludingLeapDaysAndTimesBefore1970) {
    EXPECT_EQ(Date(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(Date(784111777'999999), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(Date(951782400'000000), "Tue, 29 Feb 2000 00:00:00 GMT");
    EXPECT_EQ(Date(4107542400'000000), "Mon, 01 Mar 2100 00:00:00 GMT");
    EXPECT_EQ(Date(-1), "Wed, 31 Dec 1969 23:59:59 GMT");
    EXPECT_EQ(Date(253402300799'000000), "Fri, 31 Dec 9999 23:59:59 GMT");
}

TEST(FormatHttpDateTest, AgreesWithTheSystemCalendarAcrossTwoCenturies) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // A step that is not a whole number of days walks through every time of day and weekday;
    // going back and forth also changes the cached second every time.
    for (int64_t seconds = -2208988800; seconds < 4102444800; seconds += 86400 * 17 + 3671) {
        const time_t t = static_cast<time_t>(seconds);
        struct tm parts {};
        ASSERT_NE(gmtime_r(&t, &parts), nullptr);
        char expected[64];
        std::snprintf(expected, sizeof expected, "%s, %02d %s %04d %02d:%02d:%02d GMT",
                      kDays[parts.tm_wday], parts.tm_mday, kMonths[parts.tm_mon],
                      parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
        ASSERT_EQ(Date(seconds * 1000000 + 123), expected) << seconds;
    }
}

struct DecodeCase {
    const char* in;
    std::string out;
};

void PrintTo(const DecodeCase& c, std::ostream* out) {
    *out << ::testing::PrintToString(std::string(c.in));
}

class UrlDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(UrlDecodeTest, Decodes) {
    EXPECT_EQ(UrlDecode(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Cases, UrlDecodeTest,
                         ::testing::Values(DecodeCase{"a+b", "a b"}, DecodeCase{"%41%42c", "ABc"},
                                           DecodeCase{"%4a%4A", "JJ"}, DecodeCase{"%2B", "+"},
                                           DecodeCase{"x%zzy", "xy"}, DecodeCase{"%g1x", "x"},
                                           DecodeCase{"%%41", "1"}, DecodeCase{"abc%4", "abc%4"},
                                           DecodeCase{"abc%", "abc%"}, DecodeCase{"%", "%"},
                                           DecodeCase{"%00z", std::string("\0z", 2)},
                                           DecodeCase{"%ff", "\xff"}, DecodeCase{"", ""}));

TEST(UrlEncodeTest, SpacesBecomePlusAndOnlyLettersAndDigitsStay) {
    EXPECT_EQ(UrlEncode("a b"), "a+b");
    EXPECT_EQ(UrlEncode("Az09-_.~/"), "Az09%2d%5f%2e%7e%2f");
    EXPECT_EQ(UrlEncode(std::string("\xff\0+", 3)), "%ff%00%2b");
    EXPECT_EQ(UrlEncode(""), "");
}

TEST(UrlEncodeTest, DecodingUndoesEncodingForEveryByte) {
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    EXPECT_EQ(UrlDecode(UrlEncode(all)), all);
}

TEST(BasicCredentialsTest, UserAndPasswordSplitAtTheFirstColon) {
    std::string user;
    std::string password;
    ASSERT_TRUE(GetBasicCredentials("Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==", user, password));
    EXPECT_EQ(user, "Aladdin");
    EXPECT_EQ(password, "open sesame");
    ASSERT_TRUE(GetBasicCredentials("Basic " + Base64Encode("u:p:w"), user, password));
    EXPECT_EQ(user, "u");
    EXPECT_EQ(password, "p:w");
    ASSERT_TRUE(GetBasicCredentials("Basic " + Base64Encode(":"), user, password));
    EXPECT_EQ(user, "");
    EXPECT_EQ(password, "");
}

TEST(BasicCredentialsTest, OtherSchemesBadBase64AndMissingColonAreRefused) {
    for (const std::string& value :
         {std::string("basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="), std::string("BasicQWxhZGRpbjpv"),
          std::string("Bearer QWxhZGRpbjpvcGVuIHNlc2FtZQ=="), std::string("Basic !!!!"),
          std::string("Basic ") + Base64Encode("nocolon"), std::string("Basic"), std::string("")}) {
        std::string user = "u0";
        std::string password = "p0";
        EXPECT_FALSE(GetBasicCredentials(value, user, password)) << value;
        EXPECT_EQ(user, "u0");
        EXPECT_EQ(password, "p0");
    }
}

TEST(ParseCookieTest, NameValueAndFirstPathAttribute) {
    Ref<Cookie> cookie;
    ParseCookie(" a = \"quoted value\" ; $Path = \"/p\" ; $Path=/q ", cookie);
    EXPECT_EQ(cookie->GetName(), "a");
    EXPECT_EQ(cookie->GetValue(), "quoted value");
    EXPECT_EQ(cookie->GetPath(), "/p");
}

TEST(ParseCookieTest, PiecesWithoutUsableEqualsSignAreSkipped) {
    Ref<Cookie> cookie;
    ParseCookie("=x; a=; b; $Path=", cookie);
    EXPECT_EQ(cookie->GetName(), "");
    EXPECT_EQ(cookie->GetPath(), "");
    std::string value;
    EXPECT_FALSE(cookie->GetAttribute("$Path", value));

    ParseCookie("token=ab==; q=\"", cookie);
    EXPECT_EQ(cookie->GetName(), "q");
    EXPECT_EQ(cookie->GetValue(), "\"");
    ParseCookie("token=ab==", cookie);
    EXPECT_EQ(cookie->GetValue(), "ab==");
}

TEST(CookieTest, HeaderStringQuotesTheValueAndAlwaysNamesThePath) {
    Ref<Cookie> cookie;
    CreateCookie("quarex_soap_session", "T0K3N", cookie);
    std::string text = "stale";
    cookie->ToHeaderString(text);
    EXPECT_EQ(text, "quarex_soap_session=\"T0K3N\"; Path=");
    cookie->SetPath("/soap");
    cookie->ToHeaderString(text);
    EXPECT_EQ(text, "quarex_soap_session=\"T0K3N\"; Path=/soap");
    std::string path;
    ASSERT_TRUE(cookie->GetAttribute("$Path", path));
    EXPECT_EQ(path, "/soap");
}

}  // namespace
}  // namespace Tarvos::Http
