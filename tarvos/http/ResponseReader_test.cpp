#include "tarvos/http/internal/ResponseReader.h"

#include <functional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tarvos/core/StringWriter.h"
#include "tarvos/http/MalformedHeaderException.h"
#include "tarvos/http/internal/FakeStream.h"

namespace Tarvos::Http {
namespace {

using Testing::FakeStream;

class ResponseReaderTest : public ::testing::Test {
protected:
    // Reads one whole response; returns the body.
    std::string ReadResponse() {
        Ref<StringWriter> body;
        CreateStringWriter(body);
        _reader.ReadResponse(*_stream, _head, *body);
        return body->ToString();
    }
    // The message of the MalformedHeaderException that reading a response throws.
    std::string Failure() {
        try {
            ReadResponse();
        } catch (const MalformedHeaderException& e) {
            return e.GetMessage();
        }
        return "<none>";
    }

    Ref<FakeStream> _stream{new FakeStream()};
    ResponseReader _reader;
    ResponseHead _head;
};

TEST_F(ResponseReaderTest, StatusFieldsCookiesAndBodyAreRead) {
    _stream->AddSplit(
        "HTTP/1.1 500 Internal Server Error\r\n"
        "Server: peer\r\n"
        "Set-Cookie: quarex_soap_session=\"T1\"; Path=/; \r\n"
        "Content-Length:    11\r\n"
        "Set-Cookie: b=2\r\n"
        "\r\n"
        "fault body!",
        5);
    EXPECT_EQ(ReadResponse(), "fault body!");
    EXPECT_EQ(_head.status, HttpStatus::InternalServerError);
    EXPECT_TRUE(_head.http11);
    EXPECT_EQ(_head.contentLength, 11);
    EXPECT_EQ(_head.setCookies,
              (std::vector<std::string>{"quarex_soap_session=\"T1\"; Path=/; ", "b=2"}));
}

TEST_F(ResponseReaderTest, Http10ReplyTellsTheClientToDropTheConnection) {
    _stream->AddChunk("HTTP/1.0 200 OK\r\ncontent-length: 2\r\n\r\nok");
    EXPECT_EQ(ReadResponse(), "ok");
    EXPECT_FALSE(_head.http11);
    EXPECT_EQ(_head.status.GetReason(), "OK");
}

TEST_F(ResponseReaderTest, CarriageReturnEndingOneReadIsMatchedWithTheNext) {
    _stream->AddChunk("HTTP/1.1 200 OK\r");
    _stream->AddChunk("\nContent-Length: 2\r");
    _stream->AddChunk("\n\r");
    _stream->AddChunk("\nhi");
    EXPECT_EQ(ReadResponse(), "hi");
}

TEST_F(ResponseReaderTest, CarriageReturnWithoutLineFeedIsMalformed) {
    _stream->AddChunk("HTTP/1.1 200 OK\rContent-Length: 0\r\n\r\n");
    EXPECT_EQ(Failure(), "Parse Header got CR expected LF");
}

TEST_F(ResponseReaderTest, LinesOfTenThousandBytesAreRefused) {
    _stream->AddSplit(
        "HTTP/1.1 200 OK\r\nX: " + std::string(9999 - 3, 'a') + "\r\nContent-Length: 0\r\n\r\n",
        4095);
    EXPECT_EQ(ReadResponse(), "");
    _stream->AddSplit("HTTP/1.1 200 OK\r\nX: " + std::string(10000 - 3, 'a') + "\r\n\r\n", 4095);
    _reader.Reset();
    EXPECT_EQ(Failure(), "Header has too many fields");
}

TEST_F(ResponseReaderTest, EndlessHeaderIsRefusedBeforeItExhaustsMemory) {
    std::string fields;
    while (fields.size() <= ResponseReader::kMaxHeaderBytes) {
        fields += "Set-Cookie: " + std::string(1000, 'c') + "\r\n";
    }
    _stream->AddSplit("HTTP/1.1 200 OK\r\n" + fields, 4095);
    EXPECT_EQ(Failure(), "Header has too many fields");
}

TEST_F(ResponseReaderTest, ConnectionLostInTheHeaderOrTheBody) {
    _stream->AddChunk("HTTP/1.1 200 OK\r\nContent-Len");
    EXPECT_EQ(Failure(), "Connection lost while parsing header");

    Ref<FakeStream> other(new FakeStream());
    other->AddChunk("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    other->AddChunk("def");
    _stream = other;
    _reader.Reset();
    EXPECT_EQ(Failure(), "Lost connection parsing Body");
}

TEST_F(ResponseReaderTest, ReadsNeverAskForMoreThan4095Bytes) {
    _stream->AddChunk("HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\n" + std::string(9000, 'z'));
    EXPECT_EQ(ReadResponse(), std::string(9000, 'z'));
    for (int32_t asked : _stream->ReadRequests()) {
        EXPECT_LE(asked, 4095);
    }
}

TEST_F(ResponseReaderTest, BytesOfTheNextResponseStayBuffered) {
    _stream->AddChunk(
        "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none"
        "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\ntwo");
    EXPECT_EQ(ReadResponse(), "one");
    EXPECT_EQ(ReadResponse(), "two");
    EXPECT_EQ(_head.status, HttpStatus::NotFound);
    EXPECT_EQ(_stream->ReadRequests().size(), 1u);
}

struct NoLengthCase {
    const char* statusLine;
    const char* failure;  // null: accepted without body
};

void PrintTo(const NoLengthCase& c, std::ostream* out) {
    *out << ::testing::PrintToString(std::string(c.statusLine));
}

class ResponseWithoutLengthTest : public ResponseReaderTest,
                                  public ::testing::WithParamInterface<NoLengthCase> {};

TEST_P(ResponseWithoutLengthTest, OnlyBodilessStatusesMayOmitTheLength) {
    _stream->AddChunk(std::string(GetParam().statusLine) + "\r\nServer: s\r\n\r\n");
    if (GetParam().failure == nullptr) {
        EXPECT_EQ(ReadResponse(), "");
        EXPECT_EQ(_head.contentLength, 0);
    } else {
        EXPECT_EQ(Failure(), GetParam().failure);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, ResponseWithoutLengthTest,
    ::testing::Values(NoLengthCase{"HTTP/1.1 204 No Content", nullptr},
                      NoLengthCase{"HTTP/1.1 304 Not Modified", nullptr},
                      NoLengthCase{"HTTP/1.1 100 Continue", nullptr},
                      NoLengthCase{"HTTP/1.1 200 OK", "Missing Content-Length header"},
                      NoLengthCase{"HTTP/1.1 205 Reset Content", "Missing Content-Length header"},
                      NoLengthCase{"HTTP/1.0 404 Not Found", "Missing Content-Length header"}));

struct MalformedCase {
    const char* text;
    const char* failure;
};

void PrintTo(const MalformedCase& c, std::ostream* out) {
    *out << ::testing::PrintToString(std::string(c.failure));
}

class MalformedResponseTest : public ResponseReaderTest,
                              public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedResponseTest, FailsWithItsOwnText) {
    _stream->AddChunk(GetParam().text);
    EXPECT_EQ(Failure(), GetParam().failure);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MalformedResponseTest,
    ::testing::Values(
        MalformedCase{"HTTP/1.1\r\n\r\n", "version delimiter missing"},
        MalformedCase{"HTTP/1.1 200\r\n\r\n", "status code delmitor missing"},
        MalformedCase{"HTTP/1.1 2x0 OK\r\n\r\n", "Header expected a number value"},
        MalformedCase{"HTTP/1.1 99999999999 OK\r\n\r\n", "Header number value not in range"},
        MalformedCase{"HTTP/2 200 OK\r\n\r\n", "Invalid HTTP-Version"},
        MalformedCase{"http/1.1 200 OK\r\n\r\n", "Invalid HTTP-Version"},
        MalformedCase{"HTTP/1.1 200 OK\r\nNo colon\r\n\r\n", "Missing colon header delimiter"},
        MalformedCase{"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n",
                      "Content-Length is a negative value"},
        MalformedCase{"HTTP/1.1 200 OK\r\nContent-Length: ten\r\n\r\n",
                      "Header expected a number value"},
        MalformedCase{"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n",
                      "Header number value not in range"}));

}  // namespace
}  // namespace Tarvos::Http
