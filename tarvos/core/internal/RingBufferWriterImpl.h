#pragma once

#include <cstdint>
#include <memory>

#include "tarvos/core/RingBufferWriter.h"
#include "tarvos/system/LockableObjectImpl.h"

namespace Tarvos {

// RingBufferWriter over one allocation of capacity + 11 bytes (the end marker's room).
// Externally synchronised.
//
// Invariants:
//  1. 0 <= _position <= _capacity.
//  2. After every Write, _buffer[_position, _position + 11) holds the end marker.
class RingBufferWriterImpl final : public RingBufferWriter, public System::LockableObjectImpl {
public:
    // The end marker written after every write: ten asterisks and a zero byte.
    static constexpr char kEndMarker[] = "**********";
    static constexpr int32_t kEndMarkerSize = sizeof(kEndMarker);

    explicit RingBufferWriterImpl(int32_t capacity);
    ~RingBufferWriterImpl() override;

    void Write(const char* data, int32_t length) override;
    void Flush() override {}

    void Reset() override { _position = 0; }
    const char* GetCurrent() const override { return _buffer.get() + _position; }
    const char* GetBuffer() const override { return _buffer.get(); }

private:
    const int32_t _capacity;
    const std::unique_ptr<char[]> _buffer;
    int32_t _position = 0;
};

}  // namespace Tarvos
