#include "tarvos/core/internal/WriteReadBufferImpl.h"

#include <cstring>
#include <limits>

#include "tarvos/core/Exception.h"
#include "tarvos/core/internal/IoArguments.h"

namespace Tarvos {

WriteReadBufferImpl::~WriteReadBufferImpl() = default;

void WriteReadBufferImpl::Write(const char* data, int32_t length) {
    if (_reading) {
        throw InvalidStateException();
    }
    internal::CheckIoArguments(data, length, "WriteReadBuffer::Write");
    if (length > std::numeric_limits<int32_t>::max() - GetLength()) {
        throw InvalidArgumentException("WriteReadBuffer::Write: " + std::to_string(length) +
                                       " more bytes would exceed 2147483647 bytes");
    }
    while (length > 0) {
        if (static_cast<size_t>(_writeChunk) == _chunks.size()) {
            _chunks.emplace_back(new char[kChunkSize]);
        }
        const int32_t room = kChunkSize - _writeOffset;
        const int32_t n = length < room ? length : room;
        std::memcpy(_chunks[static_cast<size_t>(_writeChunk)].get() + _writeOffset, data,
                    static_cast<size_t>(n));
        data += n;
        length -= n;
        _writeOffset += n;
        if (_writeOffset == kChunkSize) {
            ++_writeChunk;
            _writeOffset = 0;
        }
    }
}

int32_t WriteReadBufferImpl::Read(char* buffer, int32_t length) {
    internal::CheckIoArguments(buffer, length, "WriteReadBuffer::Read");
    if (!_reading) {
        _reading = true;
        _readChunk = 0;
        _readOffset = 0;
    }
    if (_readChunk == _writeChunk && _readOffset == _writeOffset) {
        return -1;
    }
    int32_t delivered = 0;
    while (delivered < length && (_readChunk < _writeChunk ||
                                  (_readChunk == _writeChunk && _readOffset < _writeOffset))) {
        const int32_t end = _readChunk < _writeChunk ? kChunkSize : _writeOffset;
        const int32_t available = end - _readOffset;
        const int32_t wanted = length - delivered;
        const int32_t n = wanted < available ? wanted : available;
        std::memcpy(buffer + delivered,
                    _chunks[static_cast<size_t>(_readChunk)].get() + _readOffset,
                    static_cast<size_t>(n));
        delivered += n;
        _readOffset += n;
        if (_readOffset == kChunkSize) {
            ++_readChunk;
            _readOffset = 0;
        }
    }
    return delivered;
}

void CreateWriteReadBuffer(Ref<WriteReadBuffer>& buffer) {
    buffer = new WriteReadBufferImpl();
}

}  // namespace Tarvos
