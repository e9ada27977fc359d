#include "tarvos/http/Header.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/http/MalformedHeaderException.h"
#include "tarvos/http/RequestHeader.h"

namespace Tarvos::Http {
namespace {

class HeaderParseTest : public ::testing::Test {
protected:
    Header& Parse(const std::string& text) {
        _header->ParseFields(text);
        return *_header;
    }
    std::string Value(const std::string& name) {
        std::string value = "<absent>";
        _header->GetHeaderValue(name, value);
        return value;
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (size_t i = 0; i < _header->GetFieldCount(); ++i) {
            names.push_back(_header->GetFieldName(i));
        }
        return names;
    }

    Ref<Header> _header{new Header()};
};

TEST_F(HeaderParseTest, FoldedLinesJoinTheFieldTheyContinue) {
    Parse("X-Long: one\r\n two\r\n\tthree\r\nX-Next: n\r\n");
    EXPECT_EQ(Value("X-Long"), "one two\tthree");
    EXPECT_EQ(Value("X-Next"), "n");
    EXPECT_EQ(_header->GetFieldCount(), 2u);
}

TEST_F(HeaderParseTest, FirstOccurrenceWinsWhateverTheCaseOfTheName) {
    Parse("Content-Type: text/a\r\ncontent-type: text/b\r\nCONTENT-TYPE: text/c\r\n");
    EXPECT_EQ(Value("content-TYPE"), "text/a");
    EXPECT_EQ(Names(), std::vector<std::string>{"Content-Type"});
}

TEST_F(HeaderParseTest, InterleavedDuplicatesKeepTheirFirstValuesAndTheRestStaysUsable) {
    Parse("B: b1\r\nA: a1\r\nb: b2\r\nC: c1\r\na: a2\r\nD: d1\r\nB: b3\r\n");
    EXPECT_EQ(Names(), (std::vector<std::string>{"A", "B", "C", "D"}));
    EXPECT_EQ(Value("a") + Value("b") + Value("c") + Value("d"), "a1b1c1d1");
    _header->RemoveHeader("b");
    _header->SetHeaderValue("E", "e1");
    Parse("c: c2\r\nF: f1\r\n");
    EXPECT_EQ(Names(), (std::vector<std::string>{"A", "C", "D", "E", "F"}));
    EXPECT_EQ(Value("A") + Value("C") + Value("D") + Value("E") + Value("F"), "a1c1d1e1f1");
}

TEST_F(HeaderParseTest, NamesAndValuesAreTrimmedAndLinesWithoutColonIgnored) {
    Parse("Name With Spaces :  spaced value \t\r\nno colon here\r\nX-Empty:\r\nX-Url: a:b:c\r\n");
    EXPECT_EQ(Value("Name With Spaces"), "spaced value");
    EXPECT_EQ(Value("X-Empty"), "");
    EXPECT_EQ(Value("X-Url"), "a:b:c");
    EXPECT_EQ(_header->GetFieldCount(), 3u);
}

TEST_F(HeaderParseTest, FieldsAreKeptInCaseInsensitiveAlphabeticalOrder) {
    Parse("zeta: 1\r\nAlpha: 2\r\nbeta: 3\r\nGamma: 4\r\n");
    EXPECT_EQ(Names(), (std::vector<std::string>{"Alpha", "beta", "Gamma", "zeta"}));
    _header->SetHeaderValue("ALPHA", "new");
    _header->RemoveHeader("GAMMA");
    _header->SetHeaderValue("delta", "5");
    EXPECT_EQ(Names(), (std::vector<std::string>{"ALPHA", "beta", "delta", "zeta"}));
    EXPECT_EQ(Value("alpha"), "new");
    EXPECT_EQ(Value("Gamma"), "<absent>");
}

TEST_F(HeaderParseTest, ClearedHeaderIsEmptyAndParsesAgain) {
    Parse("Cookie: a=1\r\nContent-Length: 7\r\nX-Old: 1\r\n");
    _header->ClearHeader();
    EXPECT_EQ(_header->GetFieldCount(), 0u);
    EXPECT_EQ(_header->GetContentLength(), 0);
    EXPECT_TRUE(_header->GetCookies().empty());
    Parse("X-New: 2\r\n");
    EXPECT_EQ(Names(), std::vector<std::string>{"X-New"});
    EXPECT_EQ(Value("X-Old"), "<absent>");
}

TEST_F(HeaderParseTest, ContentLengthIsReadFromTheFieldOrZero) {
    EXPECT_EQ(Parse("content-length:  1234567890123 \r\n").GetContentLength(), 1234567890123);
    _header->ClearHeader();
    _header->SetContentLength(9);
    EXPECT_EQ(Parse("X: y\r\n").GetContentLength(), 0);
}

TEST_F(HeaderParseTest, BadContentLengthsThrowTheirOwnExceptions) {
    try {
        Parse("Content-Length: -1\r\n");
        FAIL() << "negative length accepted";
    } catch (const MalformedHeaderException& e) {
        EXPECT_EQ(e.GetMessage(), "Content-Length is a negative value");
    }
    EXPECT_THROW(Header().ParseFields("Content-Length: 12abc\r\n"), NumberFormatException);
    EXPECT_THROW(Header().ParseFields("Content-Length: 99999999999999999999\r\n"),
                 NumberRangeException);
}

TEST_F(HeaderParseTest, CookieFieldBecomesCookiesWithTheirPathAttributes) {
    Parse("Cookie: $Version=1; a=1; $Path=/x; b=\"two\";$Path=/y; $Path=/z; ;c=3\r\nX: y\r\n");
    const auto& cookies = _header->GetCookies();
    ASSERT_EQ(cookies.size(), 3u);
    EXPECT_EQ(cookies[0]->GetName(), "a");
    EXPECT_EQ(cookies[0]->GetValue(), "1");
    EXPECT_EQ(cookies[0]->GetPath(), "/x");
    EXPECT_EQ(cookies[1]->GetName(), "b");
    EXPECT_EQ(cookies[1]->GetValue(), "two");
    EXPECT_EQ(cookies[1]->GetPath(), "/y");
    EXPECT_EQ(cookies[2]->GetName(), "c");
    EXPECT_EQ(cookies[2]->GetPath(), "");
    EXPECT_EQ(Value("Cookie"), "<absent>");
    EXPECT_EQ(Names(), std::vector<std::string>{"X"});
}

TEST(HeaderKeepAliveTest, OnlyTheExactValueCloseEndsTheConnection) {
    const struct {
        const char* fields;
        bool keepAlive;
    } cases[] = {
        {"", true},
        {"Connection: close\r\n", false},
        {"connection:   close  \r\n", false},
        {"Connection: Close\r\n", true},
        {"Connection: keep-alive\r\n", true},
        {"Connection: close, TE\r\n", true},
    };
    for (const auto& c : cases) {
        Header header;
        header.ParseFields(c.fields);
        EXPECT_EQ(header.IsKeepAlive(), c.keepAlive) << c.fields;
    }
}

struct RequestLineCase {
    const char* block;
    HttpMethod method;
    const char* uri;
    bool http11;
};

void PrintTo(const RequestLineCase& c, std::ostream* out) {
    const std::string block = c.block;
    *out << ::testing::PrintToString(block.substr(0, block.find('\r')));
}

class RequestLineTest : public ::testing::TestWithParam<RequestLineCase> {};

TEST_P(RequestLineTest, MethodUriAndVersionAreRead) {
    Ref<RequestHeader> header(new RequestHeader());
    header->ParseFields(GetParam().block);
    EXPECT_EQ(header->GetMethod(), GetParam().method);
    EXPECT_EQ(header->GetUri(), GetParam().uri);
    EXPECT_EQ(header->IsHttp11(), GetParam().http11);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RequestLineTest,
    ::testing::Values(
        RequestLineCase{"GET /index.html HTTP/1.1\r\n\r\n", HttpMethod::Get, "/index.html", true},
        RequestLineCase{"POST /soap HTTP/1.0\r\nHost: h\r\n\r\n", HttpMethod::Post, "/soap", false},
        RequestLineCase{"HEAD /x", HttpMethod::Head, "/x", false},
        RequestLineCase{"GET    /a%20b+c?q=%41%zz   HTTP/1.1  \r\n", HttpMethod::Get, "/a b c?q=A",
                        true},
        RequestLineCase{"GET\r\n", HttpMethod::Get, "", false}));

TEST(RequestHeaderTest, FieldsBehindTheRequestLineAreParsed) {
    Ref<RequestHeader> header(new RequestHeader());
    header->ParseFields("POST /p HTTP/1.1\r\nContent-Length: 5\r\nCookie: s=1\r\n\r\n");
    EXPECT_EQ(header->GetContentLength(), 5);
    ASSERT_EQ(header->GetCookies().size(), 1u);
    EXPECT_EQ(header->GetCookies()[0]->GetValue(), "1");
    header->ClearHeader();
    EXPECT_EQ(header->GetUri(), "");
    EXPECT_FALSE(header->IsHttp11());
    EXPECT_EQ(header->GetContentLength(), 0);
}

TEST(RequestHeaderTest, UnknownOrLowerCaseMethodsAreNotSupported) {
    for (const char* line : {"PUT / HTTP/1.1\r\n\r\n", "get / HTTP/1.1\r\n\r\n",
                             "OPTIONS * HTTP/1.1\r\n\r\n", " GET / HTTP/1.1\r\n\r\n", ""}) {
        Ref<RequestHeader> header(new RequestHeader());
        EXPECT_THROW(header->ParseFields(line), NotSupportedException) << line;
    }
}

}  // namespace
}  // namespace Tarvos::Http
