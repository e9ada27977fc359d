#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "tarvos/core/WriteReadBuffer.h"

namespace Tarvos {

// WriteReadBuffer over a list of 1024-byte chunks. Externally synchronised.
//
// States: writing (from creation) and reading (from the first Read, for good).
//
// Invariants:
//  1. A cursor (chunk, offset) addresses byte chunk * 1024 + offset; 0 <= offset < 1024.
//  2. The write cursor marks the end of the data; chunks up to and including the one it points
//     into exist once a byte was written there (a chunk is allocated by the first byte written
//     into it, so a full last chunk is not followed by an empty one).
//  3. While reading, the read cursor is at or before the write cursor.
class WriteReadBufferImpl final : public WriteReadBuffer, public ObjectImpl {
public:
    static constexpr int32_t kChunkSize = 1024;

    WriteReadBufferImpl() = default;
    ~WriteReadBufferImpl() override;

    void Write(const char* data, int32_t length) override;
    void Flush() override {}
    int32_t Read(char* buffer, int32_t length) override;
    void Close() override {}
    int32_t GetLength() const override { return _writeChunk * kChunkSize + _writeOffset; }

private:
    std::vector<std::unique_ptr<char[]>> _chunks;
    int32_t _writeChunk = 0;
    int32_t _writeOffset = 0;
    int32_t _readChunk = 0;
    int32_t _readOffset = 0;
    bool _reading = false;
};

}  // namespace Tarvos
