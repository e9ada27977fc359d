#include "tarvos/http/internal/ResponseImpl.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/http/internal/FakeStream.h"
#include "tarvos/http/internal/RequestImpl.h"

namespace Tarvos::Http {
namespace {

using Testing::FakeStream;

class CountingListener : public ResponseListener {
public:
    void OnResponseCompleted() override { ++calls; }
    int calls = 0;
};

class ResponseWriteTest : public ::testing::Test {
protected:
    void SetUp() override {
        Ref<RequestImpl> request;
        CreateRequestResponse(request, _response);
        _response->SetListener(&_listener);
        _response->BeginResponse(_stream);
    }

    void Write(const std::string& text) {
        _response->Write(text.data(), static_cast<int32_t>(text.size()));
    }
    // The header block sent so far, with a well-formed date replaced by "*".
    std::string SentHeader() const {
        const std::string& wire = _stream->Written();
        const size_t end = wire.find("\r\n\r\n");
        std::string head = end == std::string::npos ? wire : wire.substr(0, end + 4);
        const size_t date = head.find("\r\nDate: ");
        if (date != std::string::npos && IsHttpDate(head.substr(date + 8, 29)) &&
            head.compare(date + 37, 2, "\r\n") == 0) {
            head.replace(date + 8, 29, "*");
        }
        return head;
    }
    // "Www, DD Mmm YYYY hh:mm:ss GMT"
    static bool IsHttpDate(const std::string& text) {
        const std::string shape = "Aaa, 00 Aaa 0000 00:00:00 GMT";
        if (text.size() != shape.size()) {
            return false;
        }
        for (size_t i = 0; i < shape.size(); ++i) {
            const char c = text[i];
            const bool fits = shape[i] == '0'   ? (c >= '0' && c <= '9')
                              : shape[i] == 'A' ? (c >= 'A' && c <= 'Z')
                              : shape[i] == 'a' ? (c >= 'a' && c <= 'z')
                                                : c == shape[i];
            if (!fits) {
                return false;
            }
        }
        return true;
    }
    std::string SentBody() const {
        const std::string& wire = _stream->Written();
        const size_t end = wire.find("\r\n\r\n");
        return end == std::string::npos ? std::string() : wire.substr(end + 4);
    }

    Ref<FakeStream> _stream{new FakeStream()};
    Ref<ResponseImpl> _response;
    CountingListener _listener;
};

TEST_F(ResponseWriteTest, UndeclaredLengthIsTheBufferedBodySentInOneWrite) {
    _response->SetContentType("text/plain", "utf-8");
    Write("hello, ");
    Write("world");
    EXPECT_EQ(_stream->WriteCalls(), 0);
    EXPECT_FALSE(_response->IsComplete());
    _response->Complete();
    EXPECT_EQ(SentHeader(),
              "HTTP/1.1 200 OK\r\n"
              "Date: *\r\n"
              "Content-Type: text/plain; charset=utf-8\r\n"
              "Content-Length: 12\r\n\r\n");
    EXPECT_EQ(SentBody(), "hello, world");
    EXPECT_EQ(_stream->WriteCalls(), 1);
    EXPECT_TRUE(_response->IsComplete());
    EXPECT_EQ(_listener.calls, 1);
}

TEST_F(ResponseWriteTest, FlushOfAnEmptyReplySendsZeroLength) {
    _response->Flush();
    EXPECT_EQ(SentHeader(), "HTTP/1.1 200 OK\r\nDate: *\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(SentBody(), "");
    EXPECT_EQ(_listener.calls, 1);
}

TEST_F(ResponseWriteTest, DeclaredLengthCompletesByItselfWithItsLastByte) {
    _response->SetContentLength(6);
    Write("abc");
    EXPECT_EQ(_stream->WriteCalls(), 0);
    EXPECT_EQ(_listener.calls, 0);
    Write("def");
    EXPECT_TRUE(_response->IsComplete());
    EXPECT_EQ(_listener.calls, 1);
    EXPECT_EQ(_stream->WriteCalls(), 1);
    EXPECT_EQ(SentHeader(), "HTTP/1.1 200 OK\r\nDate: *\r\nContent-Length: 6\r\n\r\n");
    EXPECT_EQ(SentBody(), "abcdef");
    EXPECT_THROW(Write("g"), IOException);
    EXPECT_THROW(_response->Complete(), IOException);
    EXPECT_EQ(_listener.calls, 1);

    Ref<FakeStream> other(new FakeStream());
    _response->BeginResponse(other);
    _response->SetContentLength(20000);
    _response->Complete();
    other->FailWrites();
    EXPECT_THROW(Write(std::string(15000, 'x')), System::PosixSystemException);
    EXPECT_TRUE(_response->IsComplete());
    EXPECT_EQ(_listener.calls, 2);
}

TEST_F(ResponseWriteTest, LargeDeclaredBodyStreamsPastTheBuffer) {
    std::string body;
    for (int i = 0; i < 40000; ++i) {
        body.push_back(static_cast<char>('a' + i % 26));
    }
    _response->SetContentLength(static_cast<int64_t>(body.size()));
    Write(body.substr(0, 100));
    Write(body.substr(100, 20000));  // larger than the buffer: straight to the stream
    EXPECT_EQ(SentBody(), body.substr(0, 20100));
    Write(body.substr(20100, 6000));
    EXPECT_EQ(SentBody(), body.substr(0, 20100));
    Write(body.substr(26100, 6000));  // does not fit behind the first 6000: those go first
    EXPECT_EQ(SentBody(), body.substr(0, 26100));
    EXPECT_FALSE(_response->IsComplete());
    Write(body.substr(32100));
    EXPECT_TRUE(_response->IsComplete());
    EXPECT_EQ(_listener.calls, 1);
    EXPECT_EQ(SentHeader(), "HTTP/1.1 200 OK\r\nDate: *\r\nContent-Length: 40000\r\n\r\n");
    EXPECT_EQ(SentBody(), body);
}

TEST_F(ResponseWriteTest, EarlyCompleteSendsWhatIsBufferedAndStaysOpenForTheRest) {
    _response->SetContentLength(4);
    Write("ab");
    _response->Complete();
    EXPECT_EQ(SentBody(), "ab");
    EXPECT_FALSE(_response->IsComplete());
    EXPECT_EQ(_listener.calls, 0);
    Write("cd");
    EXPECT_EQ(SentBody(), "abcd");
    EXPECT_TRUE(_response->IsComplete());
}

TEST_F(ResponseWriteTest, BodyNeverExceedsTheDeclaredLength) {
    Write("abcdef");
    EXPECT_THROW(_response->SetContentLength(5), InvalidArgumentException);
    EXPECT_THROW(_response->SetContentLength(-1), InvalidArgumentException);
    _response->SetContentLength(9);
    EXPECT_THROW(Write("ghij"), InvalidArgumentException);
    EXPECT_EQ(_stream->WriteCalls(), 0);
    EXPECT_FALSE(_response->IsComplete());
    Write("ghi");
    EXPECT_TRUE(_response->IsComplete());
    EXPECT_EQ(SentBody(), "abcdefghi");
}

TEST_F(ResponseWriteTest, LargeUndeclaredBodyGrowsTheBufferAndKeepsEveryByte) {
    std::string body;
    for (int i = 0; i < 50; ++i) {
        const std::string piece(1000, static_cast<char>('A' + i % 26));
        body += piece;
        Write(piece);
    }
    EXPECT_EQ(_stream->WriteCalls(), 0);
    _response->Complete();
    EXPECT_EQ(SentHeader(), "HTTP/1.1 200 OK\r\nDate: *\r\nContent-Length: 50000\r\n\r\n");
    EXPECT_EQ(SentBody(), body);
}

TEST_F(ResponseWriteTest, HeaderOperationsFailOnceTheHeaderIsSent) {
    _response->SetContentLength(10);
    Write("ab");
    _response->Complete();
    Ref<Cookie> cookie;
    CreateCookie("a", "b", cookie);
    const std::vector<std::function<void()>> operations = {
        [&] { _response->AddCookie(cookie); },
        [&] { _response->SetHeaderValue("X", "y"); },
        [&] { _response->SendError(HttpStatus::InternalServerError); },
        [&] { _response->Redirect("/elsewhere"); },
        [&] { _response->RequireBasicAuth("realm"); },
        [&] { _response->SetNoCache(false); },
        [&] { _response->SetContentType("text/html", ""); },
        [&] { _response->SetContentLength(2); },
    };
    for (size_t i = 0; i < operations.size(); ++i) {
        try {
            operations[i]();
            ADD_FAILURE() << "operation " << i << " did not throw";
        } catch (const IOException& e) {
            EXPECT_EQ(e.GetMessage(), "IO error");
        }
    }
    _response->SetStatus(HttpStatus::NotFound);
    EXPECT_FALSE(_response->IsComplete());
    EXPECT_EQ(SentHeader(), "HTTP/1.1 200 OK\r\nDate: *\r\nContent-Length: 10\r\n\r\n");
}

TEST_F(ResponseWriteTest, SendErrorDropsTheBodyAndClosesTheConnection) {
    _response->SetContentType("text/xml", "utf-8");
    Write("<partial");
    _response->SendError(HttpStatus::ServiceUnavailable);
    EXPECT_EQ(SentHeader(),
              "HTTP/1.1 503 Service Unavailable\r\n"
              "Date: *\r\n"
              "Connection: close\r\n"
              "Content-Type: text/xml; charset=utf-8\r\n"
              "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(SentBody(), "");
    EXPECT_TRUE(_response->IsComplete());
    EXPECT_EQ(_listener.calls, 1);

    _stream->ClearWritten();
    _response->BeginResponse(_stream);
    _response->SetContentLength(100);
    Write("abc");
    _response->SendError(HttpStatus::BadRequest);
    EXPECT_EQ(SentHeader(),
              "HTTP/1.1 400 Bad Request\r\nDate: *\r\nConnection: close\r\n"
              "Content-Length: 0\r\n\r\n");
}

TEST_F(ResponseWriteTest, RedirectIsSeeOtherWithLocation) {
    _response->Redirect("https://example.test/a?b=c");
    EXPECT_EQ(SentHeader(),
              "HTTP/1.1 303 See Other\r\n"
              "Date: *\r\n"
              "Connection: close\r\n"
              "Location: https://example.test/a?b=c\r\n"
              "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(_listener.calls, 1);
}

TEST_F(ResponseWriteTest, BasicAuthChallengeKeepsTheConnection) {
    _response->RequireBasicAuth("Quarex Admin");
    EXPECT_EQ(SentHeader(),
              "HTTP/1.1 401 Unauthorized\r\n"
              "Date: *\r\n"
              "WWW-Authenticate: Basic realm=\"Quarex Admin\"\r\n"
              "Content-Length: 0\r\n\r\n");
    EXPECT_TRUE(_response->IsComplete());
}

TEST_F(ResponseWriteTest, NoCacheFieldAndCookiesReachTheHeader) {
    _response->SetNoCache(false);
    _response->SetNoCache(true);
    _response->SetNoCache(false);
    _response->SetContentType("text/html", "");
    Ref<Cookie> cookie;
    CreateCookie("quarex_soap_session", "T1", cookie);
    _response->AddCookie(cookie);
    _response->Complete();
    EXPECT_EQ(SentHeader(),
              "HTTP/1.1 200 OK\r\n"
              "Date: *\r\n"
              "Set-Cookie: quarex_soap_session=\"T1\"; Path=; \r\n"
              "Cache-Control: no-cache\r\n"
              "Content-Type: text/html\r\n"
              "Content-Length: 0\r\n\r\n");
}

TEST_F(ResponseWriteTest, LineBreaksInHeaderTextAreRefused) {
    EXPECT_THROW(_response->SetHeaderValue("X", "a\r\nSet-Cookie: evil=1"),
                 InvalidArgumentException);
    EXPECT_THROW(_response->SetHeaderValue("X\nY", "a"), InvalidArgumentException);
    EXPECT_THROW(_response->Redirect("/a\r\n\r\n<html>"), InvalidArgumentException);
    EXPECT_THROW(_response->RequireBasicAuth("r\n"), InvalidArgumentException);
    EXPECT_THROW(_response->SetContentType("text/html\r\nX: y", ""), InvalidArgumentException);
    Ref<Cookie> cookie;
    CreateCookie("a", "b\r\nX: y", cookie);
    EXPECT_THROW(_response->AddCookie(cookie), InvalidArgumentException);
    EXPECT_FALSE(_response->IsComplete());
    _response->Complete();
    EXPECT_EQ(SentHeader(), "HTTP/1.1 200 OK\r\nDate: *\r\nContent-Length: 0\r\n\r\n");
}

TEST_F(ResponseWriteTest, FailedWriteEndsTheReplyAndTellsTheConnection) {
    Write("body");
    _stream->FailWrites();
    EXPECT_THROW(_response->Complete(), System::PosixSystemException);
    EXPECT_TRUE(_response->IsComplete());
    EXPECT_EQ(_listener.calls, 1);
    EXPECT_THROW(_response->Complete(), IOException);
    EXPECT_EQ(_listener.calls, 1);
}

TEST_F(ResponseWriteTest, ReplyWithoutConnectionCannotBeSent) {
    _response->BeginResponse(nullptr);
    Write("abc");
    EXPECT_THROW(_response->Complete(), IOException);
    EXPECT_EQ(_listener.calls, 0);
    _response->DetachStream();
    EXPECT_THROW(Write("abc"), IOException);
}

TEST_F(ResponseWriteTest, NextReplyStartsFromAFreshHeader) {
    _response->SetStatus(HttpStatus::NotFound);
    _response->SetHeaderValue("X-First", "1");
    Ref<Cookie> cookie;
    CreateCookie("a", "b", cookie);
    _response->AddCookie(cookie);
    _response->SetContentLength(3);
    Write("abc");
    _stream->ClearWritten();
    _response->BeginResponse(_stream);
    EXPECT_FALSE(_response->IsComplete());
    EXPECT_EQ(_response->GetDeclaredLength(), -1);
    Write("xy");
    _response->Complete();
    EXPECT_EQ(SentHeader(), "HTTP/1.1 200 OK\r\nDate: *\r\nContent-Length: 2\r\n\r\n");
    EXPECT_EQ(SentBody(), "xy");
    EXPECT_EQ(_listener.calls, 2);
}

}  // namespace
}  // namespace Tarvos::Http
