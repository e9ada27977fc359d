#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tarvos/core/BufferedReader.h"
#include "tarvos/system/LockableObjectImpl.h"

namespace Tarvos {

// BufferedReader over a counted reference to its source. Externally synchronised.
//
// Invariants:
//  1. 0 <= _offset <= _count <= _size; the unread bytes are _buffer[_offset, _count).
//  2. _source is null exactly when the reader was closed; then _count == _offset == 0.
class BufferedReaderImpl final : public BufferedReader, public System::LockableObjectImpl {
public:
    BufferedReaderImpl(const Ref<Reader>& source, int32_t bufferSize);
    ~BufferedReaderImpl() override;

    int32_t Read(char* buffer, int32_t length) override;
    void Close() override;
    bool ReadLine(std::string& line) override;

private:
    // Makes sure unread bytes are buffered, reading the source when the buffer is empty.
    // Returns false at the end of the source.
    bool Fill();
    void CheckOpen() const;

    Ref<Reader> _source;
    const int32_t _size;
    const std::unique_ptr<char[]> _buffer;
    int32_t _count = 0;
    int32_t _offset = 0;
};

}  // namespace Tarvos
