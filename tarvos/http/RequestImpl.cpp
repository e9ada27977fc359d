// Request reading on a server connection.
//
// One RequestImpl serves every request of a connection. Phases:
//   Idle    -> Header   BeginRequest: a stream is attached, the header is cleared
//   Header  -> Header   ReadAvailableHeader: Incomplete (more bytes needed)
//   Header  -> Body     ReadAvailableHeader: Complete (the header block is parsed)
//   Header  -> Failed   a malformed header, a failed read, a connection that ended mid-header
//   Body    -> Header   BeginRequest for the next request on the connection
//   any     -> Idle     DetachStream
//
// The header block is read into one 10240-byte buffer. Each stream read fills the free part
// of it, so a read may bring, behind the header, body bytes and even the following requests
// of a pipelining client. The scan looks at every new byte once: a zero byte is refused, a
// line feed ends a line, anything but space, CR and LF makes the line non-empty and starts the
// header; a line feed ending an empty line after the start ends the header. Empty lines before
// the start are skipped. The scan position, the line state and the started flag live in the
// object, so a header that arrives in many small reads is scanned in steps without holding a
// thread between them (ReadAvailableHeader), and ReadRequestHeader is only a loop over the
// same step.
//
// Invariants:
//  1. 0 <= _headerBegin <= _scanEnd <= _fill <= kHeaderBufferSize while reading the header;
//     the bytes [_scanEnd, _fill) are unscanned.
//  2. In the Body phase, _headerEnd <= _bodyPos, _bodyPos + _bufferedBody == _nextPos <= _fill
//     and _bufferedBody <= _remaining: buffered body bytes never exceed the body.
//  3. Body reads from the stream never ask for more than _remaining bytes, so bytes of a
//     following request are never taken from the stream by the body; the only following bytes
//     ever read are those in [_nextPos, _fill), which came with the header.
//  4. [_nextPos, _fill) can be non-empty only when the whole remaining body is buffered; when
//     _remaining reaches 0 those bytes are the start of the next request. BeginRequest moves
//     them to the front of the buffer and the next scan starts with them, but only when the
//     stream is the one they came from (the object holds a reference to it, so another stream
//     cannot take its address meanwhile).
//  5. A full buffer without the end of the header is a malformed request ("Header not
//     parsed"), whatever followed the header in the same reads.

#include "tarvos/http/internal/RequestImpl.h"

#include <algorithm>
#include <cstring>

#include "tarvos/core/Exception.h"
#include "tarvos/http/HttpNames.h"
#include "tarvos/http/HttpText.h"
#include "tarvos/http/MalformedHeaderException.h"
#include "tarvos/http/internal/ResponseImpl.h"

namespace Tarvos::Http {

RequestImpl::RequestImpl() : _header(new RequestHeader()), _buffer(new char[kHeaderBufferSize]) {}

RequestImpl::~RequestImpl() = default;

void RequestImpl::ResetScan() noexcept {
    _scanEnd = 0;
    _headerBegin = 0;
    _headerEnd = 0;
    _lineHasContent = false;
    _started = false;
    _bodyPos = 0;
    _bufferedBody = 0;
    _nextPos = 0;
    _remaining = 0;
}

void RequestImpl::BeginRequest(const Ref<System::Stream>& stream) {
    const bool carryOver =
        _phase == Phase::Body && _remaining == 0 && stream == _stream && _nextPos < _fill;
    if (carryOver) {
        const int32_t count = _fill - _nextPos;
        std::memmove(_buffer.get(), _buffer.get() + _nextPos, static_cast<size_t>(count));
        _fill = count;
    } else {
        _fill = 0;
    }
    ResetScan();
    _header->ClearHeader();
    _stream = stream;
    _phase = Phase::Header;
}

void RequestImpl::DetachStream() {
    _stream.Reset();
    _fill = 0;
    ResetScan();
    _phase = Phase::Idle;
}

bool RequestImpl::HasBufferedBytes() const noexcept {
    switch (_phase) {
        case Phase::Header:
            return _scanEnd < _fill;
        case Phase::Body:
            return _nextPos < _fill;
        default:
            return false;
    }
}

bool RequestImpl::Scan() {
    // Line by line with memchr rather than byte by byte: a zero byte is looked for in the whole
    // line at once, and a line's content is usually decided by its first byte.
    const char* const buffer = _buffer.get();
    int32_t position = _scanEnd;
    while (position < _fill) {
        const char* start = buffer + position;
        const auto available = static_cast<size_t>(_fill - position);
        const auto* lineFeed = static_cast<const char*>(std::memchr(start, '\n', available));
        const size_t length =
            lineFeed == nullptr ? available : static_cast<size_t>(lineFeed - start);
        if (const auto* zero = static_cast<const char*>(std::memchr(start, '\0', length))) {
            _scanEnd = static_cast<int32_t>(zero - buffer);
            throw MalformedHeaderException("invalid value 0 ");
        }
        if (!_lineHasContent) {
            for (size_t i = 0; i < length; ++i) {
                if (start[i] != ' ' && start[i] != '\r') {
                    _lineHasContent = true;
                    _started = true;
                    break;
                }
            }
        }
        if (lineFeed == nullptr) {
            break;
        }
        position = static_cast<int32_t>(lineFeed - buffer) + 1;
        if (!_lineHasContent) {
            if (_started) {
                _headerEnd = position;
                _scanEnd = position;
                return true;
            }
            _headerBegin = position;
        }
        _lineHasContent = false;
    }
    _scanEnd = _fill;
    return false;
}

HeaderProgress RequestImpl::FinishHeader() {
    _header->ParseFields(std::string_view(_buffer.get() + _headerBegin,
                                          static_cast<size_t>(_headerEnd - _headerBegin)));
    _remaining = _header->GetContentLength();
    const int64_t behind = _fill - _headerEnd;
    _bodyPos = _headerEnd;
    _bufferedBody = static_cast<int32_t>(std::min(behind, _remaining));
    _nextPos = _bodyPos + _bufferedBody;
    _phase = Phase::Body;
    return HeaderProgress::Complete;
}

HeaderProgress RequestImpl::ReadAvailableHeader() {
    if (_phase != Phase::Header) {
        throw InvalidStateException();
    }
    const bool buffered = _scanEnd < _fill;
    if (!buffered && !_stream) {
        throw InvalidStateException();
    }
    // Any failure below leaves a request that cannot be read on; the next one needs a
    // BeginRequest (and, in practice, a new connection).
    _phase = Phase::Failed;
    if (buffered) {
        return ScanNewBytes();
    }
    const int32_t count = _stream->Read(_buffer.get() + _fill, kHeaderBufferSize - _fill);
    if (count <= 0) {
        if (_fill == 0) {
            _phase = Phase::Header;
            return HeaderProgress::Closed;
        }
        throw IOException();
    }
    _fill += count;
    return ScanNewBytes();
}

HeaderProgress RequestImpl::ScanNewBytes() {
    if (Scan()) {
        return FinishHeader();
    }
    if (_fill == kHeaderBufferSize) {
        throw MalformedHeaderException("Header not parsed");
    }
    _phase = Phase::Header;
    return HeaderProgress::Incomplete;
}

bool RequestImpl::ReadRequestHeader() {
    for (;;) {
        switch (ReadAvailableHeader()) {
            case HeaderProgress::Closed:
                return false;
            case HeaderProgress::Complete:
                return true;
            case HeaderProgress::Incomplete:
                break;
        }
    }
}

int32_t RequestImpl::ReadBodyFromStream(char* buffer, int32_t length) {
    if (!_stream) {
        throw IOException();
    }
    int32_t count = 0;
    if (_bodyReadTimeout <= 0) {
        count = _stream->Read(buffer, length);
    } else {
        _stream->ReadInitiate(buffer, length, nullptr);
        try {
            count = _stream->TimedWaitRead(_bodyReadTimeout);
        } catch (const TimeoutException&) {
            // A client that stalls inside its body must not hold this thread: end the
            // connection, then collect the cancelled read so that the buffer is released.
            System::CloseStream(*_stream);
            try {
                _stream->WaitRead();
            } catch (const Exception&) {
                // The cancellation itself; the connection is over either way.
            }
            throw IOException();
        }
    }
    if (count <= 0) {
        // The connection ended inside the body. Returning 0 would read as "nothing yet" and
        // leave the caller waiting for bytes that can never come.
        throw IOException();
    }
    return count;
}

int32_t RequestImpl::Read(char* buffer, int32_t length) {
    if (length < 0 || (buffer == nullptr && length > 0)) {
        throw InvalidArgumentException("Request::Read: bad buffer or length");
    }
    if (_phase != Phase::Body || _remaining <= 0) {
        return -1;
    }
    if (length == 0) {
        return 0;
    }
    int32_t count = 0;
    if (_bufferedBody > 0) {
        count = std::min(length, _bufferedBody);
        std::memcpy(buffer, _buffer.get() + _bodyPos, static_cast<size_t>(count));
        _bodyPos += count;
        _bufferedBody -= count;
    } else {
        count =
            ReadBodyFromStream(buffer, static_cast<int32_t>(std::min<int64_t>(length, _remaining)));
    }
    _remaining -= count;
    return count;
}

void RequestImpl::DiscardBody() {
    if (_phase != Phase::Body || _remaining <= 0) {
        return;
    }
    _remaining -= _bufferedBody;
    _bodyPos += _bufferedBody;
    _bufferedBody = 0;
    if (_remaining == 0) {
        return;
    }
    // With body bytes still in the stream nothing behind the body was buffered (invariant 4),
    // and the header text is parsed: the whole buffer is free scratch space.
    _fill = 0;
    _bodyPos = 0;
    _nextPos = 0;
    while (_remaining > 0) {
        const int32_t count = ReadBodyFromStream(
            _buffer.get(), static_cast<int32_t>(std::min<int64_t>(kHeaderBufferSize, _remaining)));
        _remaining -= count;
    }
}

int64_t RequestImpl::GetContentLength() {
    return _header->GetContentLength();
}

void RequestImpl::GetUri(std::string& uri) {
    uri = _header->GetUri();
}

bool RequestImpl::GetCookie(const std::string& name, Ref<Cookie>& cookie) {
    for (const Ref<Cookie>& candidate : _header->GetCookies()) {
        if (candidate->GetName() == name) {
            cookie = candidate;
            return true;
        }
    }
    return false;
}

bool RequestImpl::GetHeaderValue(const std::string& name, std::string& value) {
    return _header->GetHeaderValue(name, value);
}

bool RequestImpl::IsKeepAlive() {
    return _header->IsKeepAlive();
}

bool RequestImpl::GetBasicCredentials(std::string& user, std::string& password) {
    const std::string* authorization = _header->FindHeaderValue(kAuthorization);
    return authorization != nullptr && Http::GetBasicCredentials(*authorization, user, password);
}

void RequestImpl::GetBindingInfo(System::BindingKind kind, Ref<System::BindingInfo>& local,
                                 Ref<System::BindingInfo>& remote) {
    if (_stream) {
        _stream->GetBindingInfo(kind, local, remote);
    } else {
        local.Reset();
        remote.Reset();
    }
}

void CreateRequestResponse(Ref<RequestImpl>& request, Ref<ResponseImpl>& response) {
    request = new RequestImpl();
    response = new ResponseImpl();
}

}  // namespace Tarvos::Http
