// Feeds the input, as a client's bytes, to the server's request reader through a scripted
// stream twice: once cut into chunks whose sizes come from the input, once in reads as large as
// the reader asks for. Up to 16 pipelined requests are read per run, each header step by step
// and each body in pieces (every other body discarded instead). Both runs must tell the same
// story: how bytes are split by the network may not change what a request means. The bytes are
// also parsed directly as a request header block.
//
// Input: byte 0 = number of chunk sizes k (0..7), bytes 1..k = chunk sizes (1..256), the rest =
// what the client sends.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <typeinfo>
#include <vector>

#include "fuzz/HttpFuzzSupport.h"
#include "tarvos/core/Exception.h"
#include "tarvos/http/Header.h"
#include "tarvos/http/RequestHeader.h"
#include "tarvos/http/internal/FakeStream.h"
#include "tarvos/http/internal/RequestImpl.h"
#include "tarvos/http/internal/ResponseImpl.h"
#include "tarvos/http/internal/TextUtil.h"

namespace {

using Tarvos::Ref;
using Tarvos::Http::HeaderProgress;
using Tarvos::Http::RequestImpl;
using Tarvos::Http::Testing::FakeStream;

using Tarvos::Http::fuzzing::Append;
using Tarvos::Http::fuzzing::Finding;

// The fields must be unique and in case-insensitive order.
void CheckFieldOrder(const Tarvos::Http::Header& header) {
    for (size_t i = 1; i < header.GetFieldCount(); ++i) {
        if (Tarvos::Http::internal::CompareNoCase(header.GetFieldName(i - 1),
                                                  header.GetFieldName(i)) >= 0) {
            Finding("fields out of order",
                    header.GetFieldName(i - 1) + " / " + header.GetFieldName(i));
        }
    }
}

void Describe(RequestImpl& request, std::string& transcript) {
    Tarvos::Http::RequestHeader& header = request.GetRequestHeader();
    CheckFieldOrder(header);
    transcript += "method " + std::to_string(static_cast<int>(header.GetMethod())) +
                  " 1.1=" + std::to_string(header.IsHttp11()) + " length " +
                  std::to_string(header.GetContentLength()) + "\n";
    Append(transcript, header.GetUri());
    for (size_t i = 0; i < header.GetFieldCount(); ++i) {
        Append(transcript, header.GetFieldName(i));
        Append(transcript, header.GetFieldValue(i));
    }
    for (const auto& cookie : header.GetCookies()) {
        Append(transcript, cookie->GetName());
        Append(transcript, cookie->GetValue());
        Append(transcript, cookie->GetPath());
    }
}

std::string ReadBody(RequestImpl& request, const std::vector<size_t>& pieces) {
    std::string body;
    char buffer[300];
    size_t turn = 0;
    for (;;) {
        const auto piece =
            static_cast<int32_t>(pieces.empty() ? 100 : pieces[turn++ % pieces.size()]);
        const int32_t count = request.Read(buffer, piece);
        if (count == -1) {
            break;
        }
        if (count <= 0 || count > piece) {
            Finding("body read out of range", std::to_string(count));
        }
        body.append(buffer, static_cast<size_t>(count));
    }
    if (static_cast<int64_t>(body.size()) != request.GetContentLength()) {
        Finding("body length differs from Content-Length", std::to_string(body.size()));
    }
    return body;
}

std::string Run(const std::string& message, const std::vector<size_t>& chunks, bool timed) {
    const Ref<FakeStream> stream = Tarvos::Http::fuzzing::ScriptedStream(message, chunks);
    Ref<RequestImpl> request;
    Ref<Tarvos::Http::ResponseImpl> response;
    Tarvos::Http::CreateRequestResponse(request, response);
    request->SetBodyReadTimeout(timed ? 1000000 : 0);

    std::string transcript;
    try {
        for (int index = 0; index < 16; ++index) {
            request->BeginRequest(stream);
            HeaderProgress progress;
            while ((progress = request->ReadAvailableHeader()) == HeaderProgress::Incomplete) {
            }
            if (progress == HeaderProgress::Closed) {
                transcript += "closed\n";
                break;
            }
            Describe(*request, transcript);
            if (index % 2 == 0) {
                Append(transcript, ReadBody(*request, chunks));
            } else {
                request->DiscardBody();
                char byte;
                if (request->Read(&byte, 1) != -1) {
                    Finding("body left after DiscardBody", "");
                }
                transcript += "discarded\n";
            }
        }
    } catch (const Tarvos::Exception& e) {
        transcript +=
            "exception " + Tarvos::DemangleTypeName(typeid(e).name()) + " " + e.GetMessage() + "\n";
    }
    return transcript;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string message;
    if (!Tarvos::Http::fuzzing::CheckSplitDoesNotMatter(data, size, "chunking changed the requests",
                                                        Run, message)) {
        return 0;
    }

    Ref<Tarvos::Http::RequestHeader> header(new Tarvos::Http::RequestHeader());
    try {
        header->ParseFields(message);
    } catch (const Tarvos::Exception&) {
    }
    CheckFieldOrder(*header);
    Ref<Tarvos::Http::Header> fields(new Tarvos::Http::Header());
    try {
        fields->ParseFields(message);
    } catch (const Tarvos::Exception&) {
    }
    CheckFieldOrder(*fields);
    return 0;
}
