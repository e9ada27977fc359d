// The per-request work of the HTTP server without the network: reading and parsing a request
// header from a stream, and building and sending a small reply, against Boost.Beast's parser and
// serializer doing the same.
//
//   TarvosReadRequest / BeastParseRequest   a browser-like GET of 8 fields (about 420 bytes)
//   TarvosHelloReply  / BeastHelloReply      "200 OK" with Date, Content-Type and a 13-byte body
//   TarvosReadManyFields                     a 10 KiB header of 1000 distinct short fields (the
//                                            costliest header a client can send)
//   TarvosFormatHttpDate                     the date of the present time (cached per second)
//
// The stream under the Tarvos side replays the same bytes for every read and drops what is
// written, so only the library's own work is measured.
#include <cstring>
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "tarvos/core/DateTime.h"
#include "tarvos/http/HttpText.h"
#include "tarvos/http/internal/RequestImpl.h"
#include "tarvos/http/internal/ResponseImpl.h"
#include "tarvos/system/LockableObjectImpl.h"
#include "tarvos/system/Stream.h"

namespace {

namespace http = boost::beast::http;

const std::string kRequest =
    "GET /app/dashboard?tab=overview&lang=en HTTP/1.1\r\n"
    "Host: service.example.test:8080\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101 Firefox/115.0\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
    "Accept-Language: en-US,en;q=0.5\r\n"
    "Accept-Encoding: gzip, deflate\r\n"
    "Connection: keep-alive\r\n"
    "Cookie: quarex_soap_session=4f2a9c1e; theme=dark\r\n"
    "Cache-Control: max-age=0\r\n"
    "\r\n";

std::string ManyFields() {
    std::string text = "GET / HTTP/1.1\r\n";
    for (int i = 0; text.size() < 10100; ++i) {
        text += "F" + std::to_string(i * 7919 % 10007) + ": v\r\n";
    }
    return text + "\r\n";
}

// Replays one message for every read; drops what is written.
class ReplayStream final : public Tarvos::System::Stream,
                           public Tarvos::System::LockableObjectImpl {
public:
    explicit ReplayStream(std::string message) : _message(std::move(message)) {}
    void Rewind() { _position = 0; }

    int32_t Read(void* buffer, int32_t length) override {
        const size_t count = std::min(static_cast<size_t>(length), _message.size() - _position);
        std::memcpy(buffer, _message.data() + _position, count);
        _position += count;
        return static_cast<int32_t>(count);
    }
    void Write(const void* buffer, int32_t length) override {
        benchmark::DoNotOptimize(buffer);
        written += length;
    }
    void WriteInitiate(const void*, int32_t,
                       const Tarvos::Ref<Tarvos::System::StreamWriteCallback>&) override {}
    int32_t WaitWrite() override { return 0; }
    int32_t TimedWaitWrite(int64_t) override { return 0; }
    void ReadInitiate(void*, int32_t,
                      const Tarvos::Ref<Tarvos::System::StreamReadCallback>&) override {}
    int32_t WaitRead() override { return 0; }
    int32_t TimedWaitRead(int64_t) override { return 0; }
    bool IsWriteResultTaken() override { return false; }
    bool IsReadResultTaken() override { return false; }
    void Close() override {}
    void GetBindingInfo(Tarvos::System::BindingKind, Tarvos::Ref<Tarvos::System::BindingInfo>&,
                        Tarvos::Ref<Tarvos::System::BindingInfo>&) override {}

    int64_t written = 0;

private:
    std::string _message;
    size_t _position = 0;
};

void ReadRequests(benchmark::State& state, const std::string& message) {
    Tarvos::Ref<ReplayStream> stream(new ReplayStream(message));
    Tarvos::Ref<Tarvos::Http::RequestImpl> request;
    Tarvos::Ref<Tarvos::Http::ResponseImpl> response;
    Tarvos::Http::CreateRequestResponse(request, response);
    for (auto _ : state) {
        stream->Rewind();
        request->BeginRequest(stream);
        if (!request->ReadRequestHeader()) {
            state.SkipWithError("no request");
            break;
        }
        benchmark::DoNotOptimize(request->GetRequestHeader().GetFieldCount());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * message.size()));
}

void BM_TarvosReadRequest(benchmark::State& state) {
    ReadRequests(state, kRequest);
}
BENCHMARK(BM_TarvosReadRequest);

void BM_TarvosReadManyFields(benchmark::State& state) {
    ReadRequests(state, ManyFields());
}
BENCHMARK(BM_TarvosReadManyFields);

void BM_BeastParseRequest(benchmark::State& state) {
    for (auto _ : state) {
        http::request_parser<http::empty_body> parser;
        boost::beast::error_code error;
        parser.put(boost::asio::buffer(kRequest), error);
        if (error || !parser.is_header_done()) {
            state.SkipWithError("beast parse failed");
            break;
        }
        benchmark::DoNotOptimize(parser.get().target().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRequest.size()));
}
BENCHMARK(BM_BeastParseRequest);

void BM_TarvosHelloReply(benchmark::State& state) {
    Tarvos::Ref<ReplayStream> stream(new ReplayStream(std::string()));
    Tarvos::Ref<Tarvos::Http::RequestImpl> request;
    Tarvos::Ref<Tarvos::Http::ResponseImpl> response;
    Tarvos::Http::CreateRequestResponse(request, response);
    static const char kBody[] = "Hello, world!";
    for (auto _ : state) {
        response->BeginResponse(stream);
        response->SetContentType("text/plain", "");
        response->Write(kBody, sizeof kBody - 1);
        response->Complete();
    }
    benchmark::DoNotOptimize(stream->written);
}
BENCHMARK(BM_TarvosHelloReply);

void BM_BeastHelloReply(benchmark::State& state) {
    std::string wire;
    std::string date;
    for (auto _ : state) {
        http::response<http::string_body> reply{http::status::ok, 11};
        Tarvos::Http::FormatHttpDate(Tarvos::GetSystemTimeMicros(), date);
        reply.set(http::field::date, date);
        reply.set(http::field::content_type, "text/plain");
        reply.body() = "Hello, world!";
        reply.prepare_payload();
        http::serializer<false, http::string_body> serializer{reply};
        boost::beast::error_code error;
        wire.clear();
        while (!serializer.is_done()) {
            serializer.next(error, [&](boost::beast::error_code&, const auto& buffers) {
                for (const auto buffer : boost::beast::buffers_range_ref(buffers)) {
                    wire.append(static_cast<const char*>(buffer.data()), buffer.size());
                }
                serializer.consume(boost::beast::buffer_bytes(buffers));
            });
        }
        benchmark::DoNotOptimize(wire.data());
    }
}
BENCHMARK(BM_BeastHelloReply);

void BM_TarvosFormatHttpDate(benchmark::State& state) {
    std::string date;
    for (auto _ : state) {
        Tarvos::Http::FormatHttpDate(Tarvos::GetSystemTimeMicros(), date);
        benchmark::DoNotOptimize(date.data());
    }
}
BENCHMARK(BM_TarvosFormatHttpDate);

}  // namespace

BENCHMARK_MAIN();
