// Reply writing on a server connection.
//
// States (one object serves every reply of a connection):
//   inactive     new, or after DetachStream; every operation but SetStatus and IsComplete fails
//   active       BeginResponse: 200 "OK", no fields, no declared length, nothing written
//   header sent  the first Complete (explicit, or a write that does not fit behind the buffered
//                bytes of a reply with a declared length); the header can no longer change
//   complete     the declared length has been written (for a reply without declared length
//                Complete declares the buffered count, so its first Complete completes it), or
//                a stream write failed
//   complete -> active   BeginResponse for the next request
//
// Invariants:
//  1. _written counts every body byte accepted by Write since BeginResponse; with a declared
//     length, _written <= _declared always holds, so a reply never sends more than it declared
//     and a keep-alive client never reads the end of one reply as the start of the next.
//  2. The _bodyCount bytes in _body have not been sent; once the header is sent, the bytes on
//     the stream are exactly the first _written - _bodyCount body bytes.
//  3. Without a declared length nothing goes to the stream before Complete.
//  4. The listener is told exactly once per reply, when it stops being active, and it is the
//     last thing the response does in that call: the connection may hand the objects to another
//     thread from there on.
//  5. A small reply (header and a body of at most kCoalesceLimit bytes) leaves in one stream
//     write.

#include "tarvos/http/internal/ResponseImpl.h"

#include <cstring>

#include "tarvos/core/Exception.h"
#include "tarvos/http/HttpNames.h"
#include "tarvos/http/internal/TextUtil.h"

namespace Tarvos::Http {

namespace {

// A body up to this size is sent in the same stream write as the header, so that a small reply
// leaves in one segment. Larger bodies are written on their own rather than copied.
constexpr size_t kCoalesceLimit = ResponseImpl::kBodyBufferSize;

// Storage kept between replies; beyond it a reply's growth is handed back at the next one, so an
// idle connection does not pin the memory of its largest reply.
constexpr size_t kRetainedBodyCapacity = 64 * 1024;
constexpr size_t kRetainedWireCapacity = 32 * 1024;

void CheckHeaderText(const std::string& text, const char* what) {
    if (internal::HasLineBreak(text)) {
        throw InvalidArgumentException(std::string(what) + " holds a line break or zero byte");
    }
}

}  // namespace

ResponseImpl::ResponseImpl()
    : _header(new ResponseHeader()),
      _body(new char[kBodyBufferSize]),
      _bodyCapacity(kBodyBufferSize) {}

ResponseImpl::~ResponseImpl() = default;

void ResponseImpl::BeginResponse(const Ref<System::Stream>& stream) {
    _header->ClearHeader();
    _stream = stream;
    if (_bodyCapacity > kRetainedBodyCapacity) {
        _body.reset(new char[kBodyBufferSize]);
        _bodyCapacity = kBodyBufferSize;
    }
    if (_wire.capacity() > kRetainedWireCapacity) {
        std::string().swap(_wire);
    }
    _bodyCount = 0;
    _headerSent = false;
    _active = true;
    _declared = -1;
    _written = 0;
}

void ResponseImpl::DetachStream() {
    _stream.Reset();
    _active = false;
    _bodyCount = 0;
}

void ResponseImpl::CheckHeaderOpen() const {
    if (_headerSent || !_active) {
        throw IOException();
    }
}

void ResponseImpl::AddCookie(const Ref<Cookie>& cookie) {
    CheckHeaderOpen();
    if (!cookie) {
        throw InvalidArgumentException("Response::AddCookie: null cookie");
    }
    std::string text;
    cookie->ToHeaderString(text);
    CheckHeaderText(text, "Cookie");
    _header->AddCookie(cookie);
}

void ResponseImpl::SetHeaderValue(const std::string& name, const std::string& value) {
    CheckHeaderOpen();
    CheckHeaderText(name, "Field name");
    CheckHeaderText(value, "Field value");
    _header->SetHeaderValue(name, value);
}

void ResponseImpl::SendEmptyReply() {
    _bodyCount = 0;
    _written = 0;
    _declared = -1;
    Complete();
}

void ResponseImpl::SendError(const HttpStatus& status) {
    CheckHeaderOpen();
    _header->SetHeaderValue(kConnection, kClose);
    _header->SetStatus(status);
    SendEmptyReply();
}

void ResponseImpl::Redirect(const std::string& location) {
    CheckHeaderOpen();
    CheckHeaderText(location, "Location");
    _header->SetHeaderValue(kConnection, kClose);
    _header->SetStatus(HttpStatus::SeeOther);
    _header->SetHeaderValue(kLocation, location);
    SendEmptyReply();
}

void ResponseImpl::RequireBasicAuth(const std::string& realm) {
    CheckHeaderOpen();
    CheckHeaderText(realm, "Realm");
    _header->SetStatus(HttpStatus::Unauthorized);
    _header->SetHeaderValue(kWwwAuthenticate, "Basic realm=\"" + realm + "\"");
    SendEmptyReply();
}

void ResponseImpl::SetNoCache(bool remove) {
    CheckHeaderOpen();
    if (remove) {
        _header->RemoveHeader(kCacheControl);
    } else {
        _header->SetHeaderValue(kCacheControl, "no-cache");
    }
}

void ResponseImpl::SetContentType(const std::string& type, const std::string& charset) {
    CheckHeaderOpen();
    CheckHeaderText(type, "Content type");
    CheckHeaderText(charset, "Charset");
    if (charset.empty()) {
        _header->SetHeaderValue(kContentType, type);
    } else {
        _header->SetHeaderValue(kContentType, type + "; charset=" + charset);
    }
}

void ResponseImpl::SetContentLength(int64_t length) {
    CheckHeaderOpen();
    if (length < 0 || length < _written) {
        throw InvalidArgumentException("Response::SetContentLength: " + std::to_string(length) +
                                       " with " + std::to_string(_written) + " body bytes written");
    }
    _declared = length;
}

void ResponseImpl::SetStatus(const HttpStatus& status) {
    _header->SetStatus(status);
}

void ResponseImpl::Finish() noexcept {
    _active = false;
    if (_listener != nullptr) {
        _listener->OnResponseCompleted();
    }
}

void ResponseImpl::WriteToStream(const char* data, size_t length) {
    try {
        _stream->Write(data, static_cast<int32_t>(length));
    } catch (...) {
        Finish();
        throw;
    }
}

void ResponseImpl::SendBuffered() {
    if (!_headerSent) {
        if (_declared < 0) {
            _declared = static_cast<int64_t>(_bodyCount);
        }
        _header->SetContentLength(_declared);
        _wire.clear();
        _header->SerializeHeader(_wire);
        _headerSent = true;
        if (_bodyCount > 0 && _bodyCount <= kCoalesceLimit) {
            _wire.append(_body.get(), _bodyCount);
            _bodyCount = 0;
        }
        WriteToStream(_wire.data(), _wire.size());
    }
    if (_bodyCount > 0) {
        const size_t count = _bodyCount;
        _bodyCount = 0;
        WriteToStream(_body.get(), count);
    }
}

void ResponseImpl::Complete() {
    if (!_active || !_stream) {
        throw IOException();
    }
    SendBuffered();
    if (_written == _declared) {
        Finish();
    }
}

void ResponseImpl::Reserve(size_t capacity) {
    std::unique_ptr<char[]> grown(new char[capacity]);
    std::memcpy(grown.get(), _body.get(), _bodyCount);
    _body = std::move(grown);
    _bodyCapacity = capacity;
}

void ResponseImpl::Append(const char* data, size_t length) {
    std::memcpy(_body.get() + _bodyCount, data, length);
    _bodyCount += length;
}

void ResponseImpl::Write(const char* data, int32_t length) {
    if (!_active) {
        throw IOException();
    }
    if (length < 0 || (data == nullptr && length > 0)) {
        throw InvalidArgumentException("Response::Write: bad buffer or length");
    }
    if (length == 0) {
        return;
    }
    const auto size = static_cast<size_t>(length);
    if (_declared < 0) {
        // No length yet: the whole body is held until Complete tells its length.
        if (_bodyCount + size > _bodyCapacity) {
            Reserve(size + 2 * _bodyCapacity);
        }
        Append(data, size);
        _written += length;
        return;
    }
    if (_written + length > _declared) {
        // Bytes beyond the declared length would be read by the client as the start of the
        // next reply on the connection.
        throw InvalidArgumentException("Response::Write: " + std::to_string(length) +
                                       " bytes exceed the declared Content-Length " +
                                       std::to_string(_declared));
    }
    if (!_stream) {
        throw IOException();
    }
    if (_bodyCount + size > _bodyCapacity) {
        SendBuffered();
        if (size > _bodyCapacity) {
            WriteToStream(data, size);
            _written += length;
            if (_written == _declared) {
                Finish();
            }
            return;
        }
    }
    Append(data, size);
    _written += length;
    if (_written == _declared) {
        Complete();
    }
}

}  // namespace Tarvos::Http
