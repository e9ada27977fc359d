#include "tarvos/http/internal/RequestImpl.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/http/MalformedHeaderException.h"
#include "tarvos/http/internal/FakeStream.h"
#include "tarvos/http/internal/ResponseImpl.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/TCPClientSocket.h"
#include "tarvos/system/TCPServerSocket.h"
#include "tarvos/system/ThreadPool.h"

namespace Tarvos::Http {
namespace {

using Testing::FakeStream;

// A request object over a scripted stream.
class RequestReadTest : public ::testing::Test {
protected:
    void SetUp() override {
        Ref<ResponseImpl> response;
        CreateRequestResponse(_request, response);
        _request->BeginRequest(_stream);
    }

    // Reads the body to its end in pieces of `piece` bytes.
    std::string Body(int32_t piece = 4) {
        std::string body;
        char buffer[64];
        for (int32_t n; (n = _request->Read(buffer, piece)) != -1;) {
            EXPECT_GT(n, 0);
            body.append(buffer, static_cast<size_t>(n));
        }
        return body;
    }

    // The message of the MalformedHeaderException thrown by `step`, or "<none>".
    static std::string MalformedMessage(const std::function<void()>& step) {
        try {
            step();
        } catch (const MalformedHeaderException& e) {
            return e.GetMessage();
        }
        return "<none>";
    }

    std::string Uri() {
        std::string uri;
        _request->GetUri(uri);
        return uri;
    }

    Ref<FakeStream> _stream{new FakeStream()};
    Ref<RequestImpl> _request;
};

TEST_F(RequestReadTest, HeaderArrivingByteByByteIsReadWithItsBody) {
    _stream->AddSplit(
        "POST /soap%20x HTTP/1.1\r\nContent-Length: 11\r\nX-Split: a\r\n\r\nhello world", 1);
    ASSERT_TRUE(_request->ReadRequestHeader());
    EXPECT_EQ(_request->GetRequestHeader().GetMethod(), HttpMethod::Post);
    EXPECT_EQ(Uri(), "/soap x");
    EXPECT_EQ(_request->GetContentLength(), 11);
    EXPECT_EQ(Body(), "hello world");
    EXPECT_EQ(Body(), "");
}

TEST_F(RequestReadTest, EmptyLinesBeforeTheRequestLineAreSkipped) {
    _stream->AddChunk("\r\n\n  \r\n");
    _stream->AddChunk("GET /x HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(_request->ReadRequestHeader());
    EXPECT_EQ(Uri(), "/x");
    EXPECT_TRUE(_request->GetRequestHeader().IsHttp11());
}

TEST_F(RequestReadTest, ALineOfBlanksEndsTheHeaderOnceItStarted) {
    _stream->AddChunk(std::string("GET /x HTTP/1.0\n \r\nbody-not-scanned\0", 36));
    ASSERT_TRUE(_request->ReadRequestHeader());
    EXPECT_EQ(Uri(), "/x");
    EXPECT_EQ(_request->GetContentLength(), 0);
    EXPECT_EQ(Body(), "");
}

TEST_F(RequestReadTest, ZeroByteInsideTheHeaderIsRefused) {
    _stream->AddChunk(std::string("GET /a\0b HTTP/1.1\r\n\r\n", 21));
    EXPECT_EQ(MalformedMessage([&] { _request->ReadRequestHeader(); }), "invalid value 0 ");
    Ref<FakeStream> other(new FakeStream());
    other->AddChunk("GET / HTTP/1.1\r\nX: 1\r\n");
    other->AddChunk(std::string("\0\r\n\r\n", 5));
    _request->BeginRequest(other);
    EXPECT_EQ(MalformedMessage([&] { _request->ReadRequestHeader(); }), "invalid value 0 ");
}

TEST_F(RequestReadTest, HeaderFillingTheBufferExactlyIsAccepted) {
    const std::string start = "GET /full HTTP/1.1\r\nX-Pad: ";
    const std::string end = "\r\n\r\n";
    const std::string pad(RequestImpl::kHeaderBufferSize - start.size() - end.size(), 'p');
    _stream->AddSplit(start + pad + end, 1000);
    ASSERT_TRUE(_request->ReadRequestHeader());
    std::string value;
    ASSERT_TRUE(_request->GetHeaderValue("x-pad", value));
    EXPECT_EQ(value, pad);
}

TEST_F(RequestReadTest, HeaderOneByteTooLargeIsNotParsed) {
    const std::string start = "GET /full HTTP/1.1\r\nX-Pad: ";
    const std::string pad(RequestImpl::kHeaderBufferSize - start.size() - 3, 'p');
    _stream->AddSplit(start + pad + "\r\n\r\n", 1000);
    EXPECT_EQ(MalformedMessage([&] { _request->ReadRequestHeader(); }), "Header not parsed");
}

TEST_F(RequestReadTest, PeerClosingBeforeTheFirstByteMeansNoRequest) {
    EXPECT_FALSE(_request->ReadRequestHeader());
}

TEST_F(RequestReadTest, PeerClosingInsideTheHeaderIsAnIoError) {
    _stream->AddChunk("GET / HTTP/1.1\r\n");
    EXPECT_THROW(_request->ReadRequestHeader(), IOException);
    Ref<FakeStream> blank(new FakeStream());
    blank->AddChunk("\r\n");
    _request->BeginRequest(blank);
    EXPECT_THROW(_request->ReadRequestHeader(), IOException);
}

TEST_F(RequestReadTest, UnknownMethodIsNotSupported) {
    _stream->AddChunk("DELETE /x HTTP/1.1\r\n\r\n");
    EXPECT_THROW(_request->ReadRequestHeader(), NotSupportedException);
}

TEST_F(RequestReadTest, ResumableReadsMakeOneStreamReadPerStep) {
    _stream->AddChunk("GET /slow HT");
    _stream->AddChunk("TP/1.1\r");
    _stream->AddChunk("\nHost: x\r\n\r");
    _stream->AddChunk("\n");
    for (int step = 1; step <= 3; ++step) {
        EXPECT_EQ(_request->ReadAvailableHeader(), HeaderProgress::Incomplete) << step;
        EXPECT_EQ(_stream->ReadRequests().size(), static_cast<size_t>(step));
    }
    EXPECT_EQ(_request->ReadAvailableHeader(), HeaderProgress::Complete);
    EXPECT_EQ(_stream->ReadRequests().size(), 4u);
    EXPECT_EQ(Uri(), "/slow");
    EXPECT_THROW(_request->ReadAvailableHeader(), InvalidStateException);
}

TEST_F(RequestReadTest, PipelinedRequestsInOneReadAreServedWithoutFurtherReads) {
    _stream->AddChunk(
        "GET /1 HTTP/1.1\r\n\r\n"
        "POST /2 HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"
        "GET /3 HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(_request->ReadRequestHeader());
    EXPECT_EQ(Uri(), "/1");
    EXPECT_TRUE(_request->HasBufferedBytes());

    _request->BeginRequest(_stream);
    EXPECT_EQ(_request->ReadAvailableHeader(), HeaderProgress::Complete);
    EXPECT_EQ(Uri(), "/2");
    EXPECT_EQ(Body(2), "hello");
    EXPECT_TRUE(_request->HasBufferedBytes());

    _request->BeginRequest(_stream);
    EXPECT_EQ(_request->ReadAvailableHeader(), HeaderProgress::Complete);
    EXPECT_EQ(Uri(), "/3");
    EXPECT_FALSE(_request->HasBufferedBytes());
    EXPECT_EQ(_stream->ReadRequests().size(), 1u);

    _request->BeginRequest(_stream);
    EXPECT_EQ(_request->ReadAvailableHeader(), HeaderProgress::Closed);
}

TEST_F(RequestReadTest, PartOfAPipelinedHeaderIsScannedThenCompletedByTheStream) {
    _stream->AddChunk("GET /1 HTTP/1.1\r\n\r\nGET /2 HT");
    _stream->AddChunk("TP/1.1\r\n\r\n");
    ASSERT_TRUE(_request->ReadRequestHeader());
    _request->BeginRequest(_stream);
    EXPECT_TRUE(_request->HasBufferedBytes());
    EXPECT_EQ(_request->ReadAvailableHeader(), HeaderProgress::Incomplete);
    EXPECT_EQ(_stream->ReadRequests().size(), 1u) << "buffered bytes must not trigger a read";
    EXPECT_FALSE(_request->HasBufferedBytes());
    EXPECT_EQ(_request->ReadAvailableHeader(), HeaderProgress::Complete);
    EXPECT_EQ(Uri(), "/2");
    EXPECT_TRUE(_request->GetRequestHeader().IsHttp11());
}

TEST_F(RequestReadTest, DiscardedBodyKeepsTheFollowingRequest) {
    _stream->AddChunk("POST /1 HTTP/1.1\r\nContent-Length: 4\r\n\r\nbodyGET /2 HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(_request->ReadRequestHeader());
    _request->DiscardBody();
    char byte;
    EXPECT_EQ(_request->Read(&byte, 1), -1);
    _request->BeginRequest(_stream);
    ASSERT_TRUE(_request->ReadRequestHeader());
    EXPECT_EQ(Uri(), "/2");
}

TEST_F(RequestReadTest, BufferedBytesAreDroppedForAnotherStreamOrAnUnreadBody) {
    _stream->AddChunk("GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(_request->ReadRequestHeader());
    Ref<FakeStream> other(new FakeStream());
    _request->BeginRequest(other);
    EXPECT_FALSE(_request->HasBufferedBytes());
    EXPECT_FALSE(_request->ReadRequestHeader());

    Ref<FakeStream> third(new FakeStream());
    third->AddChunk("POST /1 HTTP/1.1\r\nContent-Length: 9\r\n\r\nabc");
    third->AddChunk("defghiGET /2 HTTP/1.1\r\n\r\n");
    _request->BeginRequest(third);
    ASSERT_TRUE(_request->ReadRequestHeader());
    _request->BeginRequest(third);  // body never read: its bytes must not pose as a request
    EXPECT_FALSE(_request->HasBufferedBytes());
    EXPECT_THROW(_request->ReadRequestHeader(), NotSupportedException);
}

TEST_F(RequestReadTest, BodyComesFromTheBufferFirstThenFromTheStreamNeverBeyondIt) {
    _stream->AddChunk("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
    _stream->AddChunk("defghijGET /next HTTP/1.1\r\n\r\n");
    _request->SetBodyReadTimeout(0);
    ASSERT_TRUE(_request->ReadRequestHeader());
    char buffer[100];
    ASSERT_EQ(_request->Read(buffer, sizeof buffer), 3);
    ASSERT_EQ(_request->Read(buffer, sizeof buffer), 7);
    EXPECT_EQ(_stream->ReadRequests().back(), 7);
    EXPECT_EQ(std::string(buffer, 7), "defghij");
    EXPECT_EQ(_request->Read(buffer, sizeof buffer), -1);

    _request->BeginRequest(_stream);
    ASSERT_TRUE(_request->ReadRequestHeader());
    EXPECT_EQ(Uri(), "/next");
}

TEST_F(RequestReadTest, DiscardingABodyInTheStreamReadsExactlyTheRest) {
    _stream->AddChunk("POST / HTTP/1.1\r\nContent-Length: 25000\r\n\r\n0123456789");
    _stream->AddChunk(std::string(24990, 'x') + "GET /after HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(_request->ReadRequestHeader());
    _request->DiscardBody();
    _request->BeginRequest(_stream);
    ASSERT_TRUE(_request->ReadRequestHeader());
    EXPECT_EQ(Uri(), "/after");
}

TEST_F(RequestReadTest, ConnectionEndingInsideTheBodyIsAnIoErrorNotAnEmptyRead) {
    _stream->AddChunk("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
    ASSERT_TRUE(_request->ReadRequestHeader());
    char buffer[16];
    EXPECT_EQ(_request->Read(buffer, sizeof buffer), 3);
    EXPECT_THROW(_request->Read(buffer, sizeof buffer), IOException);
}

TEST_F(RequestReadTest, StalledBodyClosesTheConnectionAfterTheTimeLimit) {
    _stream->AddChunk("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
    _stream->AddStall();
    _request->SetBodyReadTimeout(2'500'000);
    ASSERT_TRUE(_request->ReadRequestHeader());
    char buffer[16];
    EXPECT_EQ(_request->Read(buffer, sizeof buffer), 3);
    EXPECT_THROW(_request->Read(buffer, sizeof buffer), IOException);
    EXPECT_TRUE(_stream->IsClosed());
    ASSERT_EQ(_stream->TimedWaits().size(), 1u);
    EXPECT_EQ(_stream->TimedWaits()[0], 2'500'000);
}

TEST_F(RequestReadTest, BodyReadsUseTheDefaultTimeLimitUnlessSwitchedOff) {
    EXPECT_EQ(_request->GetBodyReadTimeout(), 60'000'000);
    _stream->AddChunk("POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\n");
    _stream->AddChunk("ab");
    ASSERT_TRUE(_request->ReadRequestHeader());
    EXPECT_EQ(Body(), "ab");
    EXPECT_EQ(_stream->TimedWaits(), std::vector<int64_t>{60'000'000});
}

TEST_F(RequestReadTest, RequestViewAnswersFromTheParsedHeader) {
    _stream->AddChunk(
        "GET /q?a=1 HTTP/1.1\r\nConnection: close\r\nCookie: s=1; s=2; t=3\r\n"
        "Authorization: Basic dXNlcjpwYXNz\r\n\r\n");
    ASSERT_TRUE(_request->ReadRequestHeader());
    EXPECT_FALSE(_request->IsKeepAlive());
    Ref<Cookie> cookie;
    ASSERT_TRUE(_request->GetCookie("s", cookie));
    EXPECT_EQ(cookie->GetValue(), "1");
    EXPECT_FALSE(_request->GetCookie("S", cookie));
    std::string user;
    std::string password;
    ASSERT_TRUE(_request->GetBasicCredentials(user, password));
    EXPECT_EQ(user + "/" + password, "user/pass");
    EXPECT_EQ(_request->GetContentLength(), 0);

    Ref<System::BindingInfo> local;
    Ref<System::BindingInfo> remote;
    _request->DetachStream();
    _request->GetBindingInfo(System::BindingKind::Tcp, local, remote);
    EXPECT_FALSE(local);
    EXPECT_FALSE(remote);
}

// A real TCP connection: the request reads from an accepted socket on a pool thread.
class RequestOverTcpTest : public ::testing::Test {
protected:
    void SetUp() override {
        System::GetSystemFactory().CreateThreadPool(nullptr, _pool);
        _pool->EnterThread();
        System::GetSystemFactory().CreateTCPServerSocket(_server);
        _server->Listen("127.0.0.1", 0);
        System::GetSystemFactory().CreateTCPClientSocket(_client);
        std::mutex mutex;
        std::condition_variable done;
        bool connected = false;
        _client->ConnectInitiate(
            "127.0.0.1", _server->GetPort(),
            System::MakeConnectCallback(
                [&](const Ref<System::TCPClientSocket>&, const Exception* error) {
                    EXPECT_EQ(error, nullptr);
                    std::lock_guard<std::mutex> guard(mutex);
                    connected = true;
                    done.notify_all();
                }));
        _server->Accept(_accepted);
        std::unique_lock<std::mutex> guard(mutex);
        ASSERT_TRUE(done.wait_for(guard, std::chrono::seconds(20), [&] { return connected; }));
        Ref<ResponseImpl> response;
        CreateRequestResponse(_request, response);
    }
    void TearDown() override {
        for (const Ref<System::Stream>& stream : {Ref<System::Stream>(_client), _accepted}) {
            if (stream) {
                System::CloseStream(*stream);
            }
        }
        _server->Close();
        _pool->LeaveThread();
        _pool->Shutdown();
        _pool->WaitForThreads(-1);
    }
    void Send(const std::string& text) {
        _client->Write(text.data(), static_cast<int32_t>(text.size()));
    }

    Ref<System::ThreadPool> _pool;
    Ref<System::TCPServerSocket> _server;
    Ref<System::TCPClientSocket> _client;
    Ref<System::Stream> _accepted;
    Ref<RequestImpl> _request;
};

TEST_F(RequestOverTcpTest, PipelinedRequestsAndABodyCrossTheSocket) {
    Send("POST /a HTTP/1.1\r\nContent-Length: 6\r\n\r\nab");
    _request->BeginRequest(_accepted);
    ASSERT_TRUE(_request->ReadRequestHeader());
    Send("cdefGET /b HTTP/1.1\r\n\r\n");
    std::string body;
    char buffer[8];
    for (int32_t n; (n = _request->Read(buffer, sizeof buffer)) != -1;) {
        body.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(body, "abcdef");
    _request->BeginRequest(_accepted);
    ASSERT_TRUE(_request->ReadRequestHeader());
    std::string uri;
    _request->GetUri(uri);
    EXPECT_EQ(uri, "/b");
    Ref<System::BindingInfo> local;
    Ref<System::BindingInfo> remote;
    _request->GetBindingInfo(System::BindingKind::Tcp, local, remote);
    ASSERT_TRUE(local);
    ASSERT_TRUE(remote);
    EXPECT_EQ(local->GetText().rfind("127.0.0.1:", 0), 0u);
}

TEST_F(RequestOverTcpTest, ClientStallingInsideTheBodyLosesItsConnection) {
    Send("POST /a HTTP/1.1\r\nContent-Length: 100\r\n\r\npartial");
    _request->BeginRequest(_accepted);
    _request->SetBodyReadTimeout(100'000);
    ASSERT_TRUE(_request->ReadRequestHeader());
    char buffer[200];
    EXPECT_EQ(_request->Read(buffer, sizeof buffer), 7);
    EXPECT_THROW(_request->Read(buffer, sizeof buffer), IOException);
    // The server end is closed: the client sees the end of the stream.
    EXPECT_EQ(_client->Read(buffer, sizeof buffer), 0);
}

}  // namespace
}  // namespace Tarvos::Http
