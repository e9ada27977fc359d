#pragma once

// What the HTTP fuzz targets share: how an input splits into read sizes and a message, the
// scripted stream that hands the message out in those reads, and the transcript helpers.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tarvos/core/Ref.h"
#include "tarvos/http/internal/FakeStream.h"

namespace Tarvos::Http::fuzzing {

[[noreturn]] inline void Finding(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
    std::abort();
}

// Appends `text` with its length, so that no two different transcripts read the same.
inline void Append(std::string& transcript, const std::string& text) {
    transcript += std::to_string(text.size()) + ":" + text + "\n";
}

// Byte 0 = number of read sizes k (0..7), bytes 1..k = the sizes (1..256), the rest = the
// message. False when the input is too short for that.
inline bool SplitInput(const uint8_t* data, size_t size, std::vector<size_t>& chunks,
                       std::string& message) {
    if (size == 0) {
        return false;
    }
    const size_t count = data[0] % 8;
    if (size < 1 + count) {
        return false;
    }
    chunks.clear();
    for (size_t i = 0; i < count; ++i) {
        chunks.push_back(static_cast<size_t>(data[1 + i]) + 1);
    }
    message.assign(reinterpret_cast<const char*>(data) + 1 + count, size - 1 - count);
    return true;
}

// A stream handing `message` out in reads of the `chunks` sizes in turn; all at once when none.
inline Ref<Testing::FakeStream> ScriptedStream(const std::string& message,
                                               const std::vector<size_t>& chunks) {
    Ref<Testing::FakeStream> stream(new Testing::FakeStream());
    if (chunks.empty()) {
        stream->AddChunk(message);
        return stream;
    }
    size_t turn = 0;
    for (size_t at = 0; at < message.size();) {
        const size_t size = chunks[turn++ % chunks.size()];
        stream->AddChunk(message.substr(at, size));
        at += size;
    }
    return stream;
}

// Splits the input (SplitInput) into `message`, runs `run(message, chunks, true)` with the read
// sizes and `run(message, {}, false)` with the whole message in one read, and reports `what`
// when the transcripts differ: how the bytes arrive must never change the result. False when
// the input is too short.
template <class Run>
bool CheckSplitDoesNotMatter(const uint8_t* data, size_t size, const char* what, Run&& run,
                             std::string& message) {
    std::vector<size_t> chunks;
    if (!SplitInput(data, size, chunks, message)) {
        return false;
    }
    const std::string split = run(message, chunks, true);
    const std::string whole = run(message, std::vector<size_t>(), false);
    if (split != whole) {
        Finding(what, "split:\n" + split + "\nwhole:\n" + whole);
    }
    return true;
}

}  // namespace Tarvos::Http::fuzzing
