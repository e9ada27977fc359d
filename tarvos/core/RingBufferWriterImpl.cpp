#include "tarvos/core/internal/RingBufferWriterImpl.h"

#include <cstring>
#include <limits>

#include "tarvos/core/Exception.h"
#include "tarvos/core/internal/IoArguments.h"

namespace Tarvos {

namespace {

// Validates before the allocation so that a bad capacity never reaches operator new.
int32_t CheckedCapacity(int32_t capacity) {
    if (capacity < 0 ||
        capacity > std::numeric_limits<int32_t>::max() - RingBufferWriterImpl::kEndMarkerSize) {
        throw InvalidArgumentException("CreateRingBufferWriter: capacity " +
                                       std::to_string(capacity) + " out of range");
    }
    return capacity;
}

}  // namespace

RingBufferWriterImpl::RingBufferWriterImpl(int32_t capacity)
    : _capacity(CheckedCapacity(capacity)),
      // Zero-filled, so that a dump taken before the first write shows no stale heap bytes.
      _buffer(new char[static_cast<size_t>(_capacity) + kEndMarkerSize]()) {}

RingBufferWriterImpl::~RingBufferWriterImpl() = default;

void RingBufferWriterImpl::Write(const char* data, int32_t length) {
    internal::CheckIoArguments(data, length, "RingBufferWriter::Write");
    if (length > _capacity) {
        throw NotSupportedException();
    }
    // 64-bit sum: position and length may each be close to the 32-bit limit.
    if (static_cast<int64_t>(_position) + length > _capacity) {
        _position = 0;
    }
    if (length > 0) {
        std::memcpy(_buffer.get() + _position, data, static_cast<size_t>(length));
    }
    _position += length;
    std::memcpy(_buffer.get() + _position, kEndMarker, kEndMarkerSize);
}

void CreateRingBufferWriter(int32_t capacity, Ref<RingBufferWriter>& writer) {
    writer = new RingBufferWriterImpl(capacity);
}

}  // namespace Tarvos
