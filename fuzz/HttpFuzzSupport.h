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

}  // namespace Tarvos::Http::fuzzing
