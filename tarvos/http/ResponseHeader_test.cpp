#include "tarvos/http/ResponseHeader.h"

#include <string>

#include <gtest/gtest.h>

#include "tarvos/http/Cookie.h"

namespace Tarvos::Http {
namespace {

// 1994-11-06 08:49:37.25 UTC.
constexpr int64_t kFixedTime = 784111777'250000;

class SerializeHeaderTest : public ::testing::Test {
protected:
    std::string Serialize() {
        std::string out = "prefix|";
        _header->SerializeHeader(out, kFixedTime);
        return out;
    }
    Ref<Cookie> MakeCookie(const std::string& name, const std::string& value,
                           const char* path = nullptr) {
        Ref<Cookie> cookie;
        CreateCookie(name, value, cookie);
        if (path != nullptr) {
            cookie->SetPath(path);
        }
        return cookie;
    }

    Ref<ResponseHeader> _header{new ResponseHeader()};
};

TEST_F(SerializeHeaderTest, EmptyReplyIsStatusDateAndZeroLength) {
    EXPECT_EQ(Serialize(),
              "prefix|HTTP/1.1 200 OK\r\n"
              "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
              "Content-Length: 0\r\n"
              "\r\n");
}

TEST_F(SerializeHeaderTest, FieldsFollowInNameOrderBeforeTheLength) {
    _header->SetStatus(HttpStatus::NotFound);
    _header->SetHeaderValue("Content-Type", "text/html");
    _header->SetHeaderValue("Connection", "close");
    _header->SetHeaderValue("cache-control", "no-cache");
    _header->SetContentLength(1234567890123);
    EXPECT_EQ(Serialize(),
              "prefix|HTTP/1.1 404 Not Found\r\n"
              "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
              "cache-control: no-cache\r\n"
              "Connection: close\r\n"
              "Content-Type: text/html\r\n"
              "Content-Length: 1234567890123\r\n"
              "\r\n");
}

TEST_F(SerializeHeaderTest, AllCookiesShareOneLineEachFollowedBySeparator) {
    _header->AddCookie(MakeCookie("session", "abc", "/app"));
    _header->AddCookie(MakeCookie("theme", "dark"));
    _header->SetHeaderValue("X", "y");
    EXPECT_EQ(Serialize(),
              "prefix|HTTP/1.1 200 OK\r\n"
              "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
              "Set-Cookie: session=\"abc\"; Path=/app; theme=\"dark\"; Path=; \r\n"
              "X: y\r\n"
              "Content-Length: 0\r\n"
              "\r\n");
}

TEST_F(SerializeHeaderTest, ContentLengthFieldNeverDuplicatesTheFramingLength) {
    _header->SetHeaderValue("content-length", "999");
    _header->SetContentLength(3);
    const std::string text = Serialize();
    EXPECT_EQ(text.find("999"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nContent-Length: 3\r\n\r\n"), std::string::npos) << text;
}

TEST_F(SerializeHeaderTest, ClearingRestoresOkAndDropsFieldsAndCookies) {
    _header->SetStatus(500, "Internal Server Error");
    _header->SetHeaderValue("X", "y");
    _header->AddCookie(MakeCookie("a", "b"));
    _header->SetContentLength(10);
    _header->ClearHeader();
    EXPECT_EQ(_header->GetStatusCode(), 200);
    EXPECT_EQ(_header->GetReasonPhrase(), "OK");
    EXPECT_EQ(Serialize(),
              "prefix|HTTP/1.1 200 OK\r\n"
              "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
              "Content-Length: 0\r\n"
              "\r\n");
}

}  // namespace
}  // namespace Tarvos::Http
