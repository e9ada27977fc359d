// Feeds the input, as a server's bytes, to the client's response reader through a scripted
// stream twice: cut into chunks whose sizes come from the input, and in one piece. Up to 8
// responses are read from the one connection. Both runs must read the same responses (or fail
// with the same text), and every body must have its Content-Length.
//
// Input: byte 0 = number of chunk sizes k (0..7), bytes 1..k = chunk sizes (1..256), the rest =
// what the server sends.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <typeinfo>
#include <vector>

#include "fuzz/HttpFuzzSupport.h"
#include "tarvos/core/Exception.h"
#include "tarvos/core/StringWriter.h"
#include "tarvos/http/internal/FakeStream.h"
#include "tarvos/http/internal/ResponseReader.h"

namespace {

using Tarvos::Ref;
using Tarvos::Http::ResponseHead;
using Tarvos::Http::ResponseReader;
using Tarvos::Http::Testing::FakeStream;

using Tarvos::Http::fuzzing::Append;
using Tarvos::Http::fuzzing::Finding;

std::string Run(const std::string& message, const std::vector<size_t>& chunks) {
    const Ref<FakeStream> stream = Tarvos::Http::fuzzing::ScriptedStream(message, chunks);
    ResponseReader reader;
    ResponseHead head;
    std::string transcript;
    try {
        for (int index = 0; index < 8; ++index) {
            Ref<Tarvos::StringWriter> body;
            Tarvos::CreateStringWriter(body);
            reader.ReadResponse(*stream, head, *body);
            transcript += std::to_string(head.status.GetCode()) +
                          " 1.1=" + std::to_string(head.http11) + "\n";
            Append(transcript, head.status.GetReason());
            for (const std::string& cookie : head.setCookies) {
                Append(transcript, cookie);
            }
            const std::string text = body->ToString();
            if (static_cast<int64_t>(text.size()) != head.contentLength) {
                Finding("body length differs from Content-Length", std::to_string(text.size()));
            }
            Append(transcript, text);
        }
    } catch (const Tarvos::Exception& e) {
        transcript +=
            "exception " + Tarvos::DemangleTypeName(typeid(e).name()) + " " + e.GetMessage() + "\n";
    }
    for (int32_t asked : stream->ReadRequests()) {
        if (asked > ResponseReader::kLineBufferSize - 1) {
            Finding("read larger than the line buffer allows", std::to_string(asked));
        }
    }
    return transcript;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string message;
    Tarvos::Http::fuzzing::CheckSplitDoesNotMatter(
        data, size, "chunking changed the responses",
        [](const std::string& text, const std::vector<size_t>& chunks, bool) {
            return Run(text, chunks);
        },
        message);
    return 0;
}
