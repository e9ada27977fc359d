// The HTTP service and its connections.
//
// Accepting: one asynchronous accept is outstanding while the service is started; its callback
// (AcceptHttpConn) issues the next one first, under the service lock, then hands the new stream
// to a connection object from HttpConnObjCache, which waits for the first bytes with a
// zero-length read. Closing the server socket ends the loop (the accept fails as cancelled).
//
// A connection (HttpConnection::Drive), on the pool thread that ran its read's completion:
//   1. Read what arrived into the request's header buffer (one non-blocking step). The peer
//      closed before a request: close and release. Header incomplete: arm the header deadline
//      (once per request), wait with another zero-length read, and return the thread.
//   2. Header complete: disarm the deadline and run the transaction: GET and POST go to the
//      handler, HEAD is answered 501. A reply the handler left open is completed when it can
//      be. Malformed requests are answered 400, unknown methods 501, handler failures 500 (when
//      nothing was sent yet), and the connection is closed after logging.
//   3. The keep-alive rule (ResponseCompleted): HTTP/1.1 without "Connection: close" keeps the
//      connection; whatever the handler left of the body is read and dropped. Bytes of a next
//      request that came with this one are served at once (pipelining); otherwise wait again.
//
// Invariants:
//  1. One thread drives a connection at a time: the next wait is started only after the reply
//     is over and the handler has returned, and the deadline timer only closes the stream
//     (whose pending wait then completes as cancelled on the driving path).
//  2. A connection object is given back to the cache only by the thread driving it, as its
//     last use of the object; the deadline task holds the stream, never the connection.
//  3. No lock is held while a handler runs. The service lock guards state, socket and handler
//     and is held while the next accept is issued.
//  4. Between requests a connection holds no thread: only the pending zero-length read, which
//     keeps the stream and (through the stream's record) the connection alive.

#include "tarvos/http/internal/HttpSvcImpl.h"

#include <cerrno>
#include <mutex>
#include <sstream>
#include <typeinfo>
#include <vector>

#include "tarvos/core/Panic.h"
#include "tarvos/http/HttpNames.h"
#include "tarvos/http/MalformedHeaderException.h"
#include "tarvos/service/Log.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/Task.h"
#include "tarvos/system/Thread.h"
#include "tarvos/system/ThreadPool.h"

namespace Tarvos::Http {

using Service::Log;
namespace LogLevel = Service::LogLevel;
using System::Stream;

namespace {

// Connection objects kept for reuse, process-wide; bounded so that a burst of connections does
// not pin its memory for good.
class HttpConnObjCache {
public:
    static constexpr size_t kMaxFree = 512;

    static HttpConnObjCache& Instance() {
        static auto* cache = new HttpConnObjCache();  // used until exit, never destroyed
        return *cache;
    }

    Ref<HttpConnection> Take() {
        {
            std::lock_guard<std::mutex> guard(_mutex);
            if (!_free.empty()) {
                Ref<HttpConnection> connection = std::move(_free.back());
                _free.pop_back();
                return connection;
            }
        }
        return Ref<HttpConnection>(new HttpConnection());
    }

    void Give(HttpConnection* connection) {
        Ref<HttpConnection> kept(connection);
        std::lock_guard<std::mutex> guard(_mutex);
        if (_free.size() < kMaxFree) {
            _free.push_back(std::move(kept));
        }
    }

private:
    std::mutex _mutex;
    std::vector<Ref<HttpConnection>> _free;
};

std::string ClassNameOf(const std::exception& thrown) {
    return DemangleTypeName(typeid(thrown).name());
}

void CloseQuietly(const Ref<Stream>& stream) noexcept {
    try {
        System::CloseStream(*stream);
    } catch (...) {
        // Closing only fails on a broken lock; the stream is dropped either way.
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// RequestHandler defaults

void RequestHandler::AddHandler(const std::string&, const Ref<RequestHandler>&) {}

void RequestHandler::RemoveHandler(const std::string&) {}

bool RequestHandler::FindHandler(const std::string&, Ref<RequestHandler>&) {
    return false;
}

// ---------------------------------------------------------------------------------------------
// HttpConnection

HttpConnection::HttpConnection() {
    CreateRequestResponse(_request, _response);
    _response->SetListener(this);
}

HttpConnection::~HttpConnection() {
    _response->SetListener(nullptr);
}

void HttpConnection::Serve(HttpSvcImpl* service, const Ref<Stream>& stream) {
    _service = service;
    _stream = stream;
    _request->BeginRequest(stream);
    _request->SetBodyReadTimeout(service->GetBodyReadTimeout());
    System::SetWriteWaitLimit(*stream, service->GetResponseWriteTimeout());
    WaitForData();
}

bool HttpConnection::WaitForData() {
    try {
        _stream->ReadInitiate(nullptr, 0, Ref<System::StreamReadCallback>(this));
        return true;
    } catch (const Exception& failure) {
        Log(_service->GetLogger(), LogLevel::Error, "%1 Close or AsyncRead failed %2/%3",
            "Tarvos::Http::HttpConnection::ResponseCompleted", ClassNameOf(failure),
            failure.GetMessage());
        Release();
        return false;
    }
}

void HttpConnection::OnReadComplete(const Ref<Stream>&, const Exception* error, int32_t) {
    _service->CountReadCallback(error != nullptr);
    if (error != nullptr) {
        Release();  // closed under the wait, reset by the peer, or the header deadline passed
        return;
    }
    Drive();
}

void HttpConnection::Drive() {
    for (;;) {
        HeaderProgress progress;
        try {
            progress = _request->ReadAvailableHeader();
        } catch (const Exception& failure) {
            DisarmHeaderDeadline();
            Log(_service->GetLogger(), LogLevel::Error,
                "%1: HTTP Transaction failed, closing connection. Reason: %2, class type is: %3",
                "Tarvos::Http::HttpSvcImpl::PendingRequest", failure.GetMessage(),
                ClassNameOf(failure));
            if (dynamic_cast<const NotSupportedException*>(&failure) != nullptr) {
                TrySendError(HttpStatus::NotImplemented, true);
            } else if (dynamic_cast<const IOException*>(&failure) == nullptr &&
                       dynamic_cast<const System::PosixSystemException*>(&failure) == nullptr) {
                TrySendError(HttpStatus::BadRequest, true);  // a malformed header
            }
            Release();
            return;
        }
        if (progress == HeaderProgress::Closed) {
            DisarmHeaderDeadline();
            Release();  // the client closed its side between requests
            return;
        }
        if (progress == HeaderProgress::Incomplete) {
            ArmHeaderDeadline();
            WaitForData();
            return;
        }
        DisarmHeaderDeadline();
        switch (Transact()) {
            case Next::Continue:
                continue;
            case Next::Wait:
                WaitForData();
                return;
            case Next::Close:
                Release();
                return;
        }
    }
}

HttpConnection::Next HttpConnection::Transact() {
    const RequestHeader& header = _request->GetRequestHeader();
    try {
        _response->BeginResponse(_stream);
        if (!header.IsHttp11() || !_request->IsKeepAlive()) {
            // The reply is HTTP/1.1, which a client takes as persistent unless told: say that
            // the connection ends with it.
            _response->SetHeaderValue(kConnection, kClose);
        }
        if (header.GetMethod() == HttpMethod::Head) {
            _response->SendError(HttpStatus::NotImplemented);
        } else {
            const Ref<RequestHandler> handler = _service->GetHandlerForRequest();
            if (!handler) {
                _response->SendError(HttpStatus::ServiceUnavailable);  // stopped meanwhile
                return Next::Close;
            }
            if (header.GetMethod() == HttpMethod::Post) {
                handler->HandlePost(*_request, *_response);
            } else {
                handler->HandleGet(*_request, *_response);
            }
        }
        if (!_response->IsComplete()) {
            // The handler returned with its reply open: without a declared length Complete
            // finishes it; a declared length it did not write cannot be honoured.
            _response->Complete();
            if (!_response->IsComplete()) {
                Log(_service->GetLogger(), LogLevel::Warning,
                    "%1: the handler left its reply unfinished; closing the connection",
                    "Tarvos::Http::HttpSvcImpl::PendingRequest");
                return Next::Close;
            }
        }
        return ResponseCompleted();
    } catch (const Exception& failure) {
        Log(_service->GetLogger(), LogLevel::Error,
            "%1: HTTP Transaction failed, closing connection. Reason: %2, class type is: %3",
            "Tarvos::Http::HttpSvcImpl::PendingRequest", failure.GetMessage(),
            ClassNameOf(failure));
        TrySendError(HttpStatus::InternalServerError, false);
        return Next::Close;
    } catch (const std::exception& failure) {
        Log(_service->GetLogger(), LogLevel::Error,
            "%1: HTTP Transaction failed, closing connection. Reason: %2, class type is: %3",
            "Tarvos::Http::HttpSvcImpl::PendingRequest", failure.what(), ClassNameOf(failure));
        TrySendError(HttpStatus::InternalServerError, false);
        return Next::Close;
    }
}

HttpConnection::Next HttpConnection::ResponseCompleted() {
    const RequestHeader& header = _request->GetRequestHeader();
    if (!header.IsHttp11() || !_request->IsKeepAlive()) {
        return Next::Close;
    }
    try {
        _request->DiscardBody();
        _request->BeginRequest(_stream);
        _request->SetBodyReadTimeout(_service->GetBodyReadTimeout());
    } catch (const Exception& failure) {
        Log(_service->GetLogger(), LogLevel::Error, "%1 Close or AsyncRead failed %2/%3",
            "Tarvos::Http::HttpConnection::ResponseCompleted", ClassNameOf(failure),
            failure.GetMessage());
        return Next::Close;
    }
    return _request->HasBufferedBytes() ? Next::Continue : Next::Wait;
}

void HttpConnection::TrySendError(const HttpStatus& status, bool beforeReply) noexcept {
    try {
        if (beforeReply) {
            _response->BeginResponse(_stream);
        }
        if (!_response->IsComplete() && !_response->IsHeaderSent()) {
            _response->SendError(status);
        }
    } catch (...) {
        // The connection is closed next; the client sees it end without a reply.
    }
}

void HttpConnection::ArmHeaderDeadline() {
    const int64_t limit = _service->GetHeaderTimeout();
    if (_headerDeadline || limit <= 0) {
        return;
    }
    System::Thread* thread = System::Thread::TryGetCurrent();
    if (thread == nullptr) {
        return;
    }
    // The task holds the stream, not this object, which may serve another connection by the
    // time the task runs (invariant 2).
    const Ref<Stream> stream = _stream;
    const Ref<Service::Logger> logger = _service->GetLogger();
    thread->GetThreadPool()->ScheduleTimer(
        System::MakeTask([stream, logger, limit] {
            Log(logger, LogLevel::Info,
                "HTTP request header not complete within %1 ms; closing the connection",
                limit / 1000);
            CloseQuietly(stream);
        }),
        limit, _headerDeadline);
}

void HttpConnection::DisarmHeaderDeadline() {
    if (_headerDeadline) {
        _headerDeadline->Cancel();  // false when it fired: the stream is closed then
        _headerDeadline.Reset();
    }
}

void HttpConnection::Release() noexcept {
    DisarmHeaderDeadline();
    if (_stream) {
        CloseQuietly(_stream);
    }
    _request->DetachStream();
    _response->DetachStream();
    _stream.Reset();
    _service.Reset();
    HttpConnObjCache::Instance().Give(this);
}

// ---------------------------------------------------------------------------------------------
// HttpSvcImpl

void CreateHttpSvc(const Ref<System::StreamServer>& socket, const Ref<Service::Logger>& logger,
                   Ref<HttpSvc>& service) {
    service = new HttpSvcImpl(socket, logger ? logger : Service::TryGetDefaultLogger());
}

HttpSvcImpl::HttpSvcImpl(const Ref<System::StreamServer>& socket,
                         const Ref<Service::Logger>& logger)
    : _logger(logger), _socket(socket) {}

HttpSvcImpl::~HttpSvcImpl() = default;

const char* HttpSvcImpl::GetStateName(OpState state) noexcept {
    switch (state) {
        case OpState::NotReady:
            return "not-ready";
        case OpState::Ready:
            return "ready";
        case OpState::Failed:
            return "failed";
        case OpState::Started:
            return "started";
        case OpState::Stopped:
            return "stopped";
    }
    return "";
}

std::string HttpSvcImpl::ToString() const {
    auto* self = const_cast<HttpSvcImpl*>(this);
    System::ScopedLock lock(*self);
    std::ostringstream text;
    text << ObjectImpl::ToString() << " {_logger=" << (_logger ? _logger->ToString() : "null")
         << ", _socket=" << (_socket ? _socket->ToString() : "null")
         << ", _requestHandler=" << (_requestHandler ? _requestHandler->ToString() : "null")
         << ", _opState=" << GetStateName(_opState) << " }";
    return text.str();
}

void HttpSvcImpl::Start() {
    System::ScopedLock lock(*this);
    if (_opState == OpState::Started) {
        Log(_logger, LogLevel::Info, "Request to start ignored, already started");
        return;
    }
    if (!_socket) {
        throw Exception("ServerSocket not set");
    }
    if (!_requestHandler) {
        throw Exception("No RequestHandler has been set");
    }
    try {
        IssueAcceptLocked();
    } catch (...) {
        _opState = OpState::Failed;
        throw;
    }
    _opState = OpState::Started;
    Log(_logger, LogLevel::Info, "Http Service started, listening on ServerSocket: %1",
        _socket->ToString());
}

void HttpSvcImpl::Stop() {
    Ref<System::StreamServer> socket;
    Ref<RequestHandler> handler;
    {
        System::ScopedLock lock(*this);
        if (_opState == OpState::Stopped) {
            return;
        }
        socket = std::move(_socket);
        handler = std::move(_requestHandler);
        if (socket) {
            socket->Close();
        }
        if (_opState == OpState::Started) {
            Log(_logger, LogLevel::Verbose, "Stopped HTTP service");
        }
        _opState = OpState::NotReady;
    }
    // Socket and handler are released here, outside the service lock.
}

void HttpSvcImpl::SetRequestHandler(const Ref<RequestHandler>& handler) {
    Ref<RequestHandler> previous;
    System::ScopedLock lock(*this);
    if (_opState == OpState::Started) {
        throw AlreadyInitializedException();
    }
    previous = std::move(_requestHandler);
    _requestHandler = handler;
    if (_requestHandler && _socket) {
        _opState = OpState::Ready;
    }
}

RequestHandler* HttpSvcImpl::GetRequestHandler() {
    System::ScopedLock lock(*this);
    return _requestHandler.Get();
}

Ref<RequestHandler> HttpSvcImpl::GetHandlerForRequest() {
    System::ScopedLock lock(*this);
    return _requestHandler;
}

void HttpSvcImpl::SetHeaderTimeout(int64_t micros) {
    _headerTimeout = micros;
}

void HttpSvcImpl::SetBodyReadTimeout(int64_t micros) {
    _bodyReadTimeout = micros;
}

void HttpSvcImpl::SetResponseWriteTimeout(int64_t micros) {
    _responseWriteTimeout = micros;
}

HttpSvcImpl::OpState HttpSvcImpl::GetState() {
    System::ScopedLock lock(*this);
    return _opState;
}

HttpSvcImpl::Statistics HttpSvcImpl::GetStatistics() const noexcept {
    return Statistics{_acceptsFailed.load(),   _acceptsWithoutStream.load(), _acceptsReading.load(),
                      _acceptCallbacks.load(), _readsFailed.load(),          _readCallbacks.load()};
}

void HttpSvcImpl::CountReadCallback(bool failed) noexcept {
    if (failed) {
        ++_readsFailed;
    }
    ++_readCallbacks;
}

void HttpSvcImpl::IssueAcceptLocked() {
    const Ref<HttpSvcImpl> self(this);
    _socket->Accept(System::MakeAcceptCallback(
        [self](const Ref<System::StreamServer>&, const Exception* error,
               const Ref<Stream>& stream) { self->AcceptHttpConn(error, stream); }));
}

void HttpSvcImpl::AcceptHttpConn(const Exception* error, const Ref<Stream>& stream) {
    ++_acceptCallbacks;
    if (dynamic_cast<const CanceledException*>(error) != nullptr) {
        Log(_logger, LogLevel::Info, "Socket closed, not issuing another Accept");
        return;
    }
    {
        System::ScopedLock lock(*this);
        if (_socket && _opState == OpState::Started) {
            try {
                IssueAcceptLocked();
            } catch (const Exception& failure) {
                Log(_logger, LogLevel::Error, "%1 accept failure - no read scheduled: ,%2%3",
                    "Tarvos::Http::HttpSvcImpl::AcceptHttpConn", ClassNameOf(failure),
                    failure.GetMessage());
            }
        }
    }
    if (error != nullptr) {
        ++_acceptsFailed;
        Log(_logger, LogLevel::Error, "%1 accept failure - no read scheduled: ,%2%3",
            "Tarvos::Http::HttpSvcImpl::AcceptHttpConn", ClassNameOf(*error), error->GetMessage());
        return;
    }
    if (!stream) {
        ++_acceptsWithoutStream;
        Log(_logger, LogLevel::Error, "%1 stream is NULL - no read scheduled",
            "Tarvos::Http::HttpSvcImpl::AcceptHttpConn");
        return;
    }
    ++_acceptsReading;
    HttpConnObjCache::Instance().Take()->Serve(this, stream);
}

}  // namespace Tarvos::Http
