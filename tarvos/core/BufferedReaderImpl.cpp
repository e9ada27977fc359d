#include "tarvos/core/internal/BufferedReaderImpl.h"

#include <cstring>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Panic.h"
#include "tarvos/core/internal/IoArguments.h"

namespace Tarvos {

namespace {

constexpr int32_t kDefaultBufferSize = 1024;
constexpr char kLineFeed = 10;
constexpr char kCarriageReturn = 13;

}  // namespace

BufferedReaderImpl::BufferedReaderImpl(const Ref<Reader>& source, int32_t bufferSize)
    : _source(source),
      _size(bufferSize < 1 ? kDefaultBufferSize : bufferSize),
      _buffer(new char[static_cast<size_t>(_size)]) {}

BufferedReaderImpl::~BufferedReaderImpl() = default;

void BufferedReaderImpl::CheckOpen() const {
    if (!_source) {
        throw InvalidStateException();
    }
}

bool BufferedReaderImpl::Fill() {
    if (_offset < _count) {
        return true;
    }
    for (;;) {
        const int32_t n = _source->Read(_buffer.get(), _size);
        if (n < 0) {
            _count = _offset = 0;
            return false;
        }
        // A source delivering more than it was asked for has already overrun our buffer.
        TARVOS_VERIFY(n <= _size);
        if (n > 0) {
            _count = n;
            _offset = 0;
            return true;
        }
    }
}

int32_t BufferedReaderImpl::Read(char* buffer, int32_t length) {
    internal::CheckIoArguments(buffer, length, "BufferedReader::Read");
    CheckOpen();
    if (!Fill()) {
        return -1;
    }
    int32_t delivered = 0;
    while (delivered < length) {
        if (!Fill()) {
            break;
        }
        const int32_t available = _count - _offset;
        const int32_t wanted = length - delivered;
        const int32_t n = wanted < available ? wanted : available;
        std::memcpy(buffer + delivered, _buffer.get() + _offset, static_cast<size_t>(n));
        _offset += n;
        delivered += n;
    }
    return delivered;
}

bool BufferedReaderImpl::ReadLine(std::string& line) {
    line.clear();
    CheckOpen();
    if (!Fill()) {
        return false;
    }
    for (;;) {
        const char* begin = _buffer.get() + _offset;
        const char* end = _buffer.get() + _count;
        const char* p = begin;
        while (p != end && *p != kLineFeed && *p != kCarriageReturn) {
            ++p;
        }
        line.append(begin, static_cast<size_t>(p - begin));
        _offset += static_cast<int32_t>(p - begin);
        if (p != end) {
            const char terminator = *p;
            ++_offset;
            // A carriage return may be followed by its line feed in the next block, so the
            // look-ahead may read the source once more (and find its end, which is fine).
            if (terminator == kCarriageReturn && Fill() && _buffer[_offset] == kLineFeed) {
                ++_offset;
            }
            return true;
        }
        if (!Fill()) {
            return true;
        }
    }
}

void BufferedReaderImpl::Close() {
    if (!_source) {
        return;
    }
    // Drop the reference before closing, so the reader is closed even when the source throws.
    const Ref<Reader> source = std::move(_source);
    _count = _offset = 0;
    source->Close();
}

void CreateBufferedReader(const Ref<Reader>& source, int32_t bufferSize,
                          Ref<BufferedReader>& reader) {
    if (!source) {
        throw InvalidArgumentException("CreateBufferedReader: null source reader");
    }
    reader = new BufferedReaderImpl(source, bufferSize);
}

}  // namespace Tarvos
