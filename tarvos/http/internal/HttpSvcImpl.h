#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tarvos/http/HttpSvc.h"
#include "tarvos/http/internal/RequestImpl.h"
#include "tarvos/http/internal/ResponseImpl.h"
#include "tarvos/system/LockableObjectImpl.h"
#include "tarvos/system/ScheduledItem.h"

namespace Tarvos::Http {

class HttpSvcImpl;

// One connection being served: its stream, and the request and response objects that every
// request on it reuses. Connection objects are recycled through the process-wide
// HttpConnObjCache, so their buffers outlive the connections they served.
//
// A connection is driven by one thread at a time: the pool thread that runs its zero-length
// read's completion reads the request, runs the handler, answers, and starts the next wait
// only after all that (design note in HttpSvcImpl.cpp).
class TARVOS_INTERNAL HttpConnection final : public System::StreamReadCallback,
                                             public ResponseListener,
                                             public ObjectImpl {
public:
    HttpConnection();
    ~HttpConnection() override;

    // Serves `stream` for `service`: waits for its first request.
    void Serve(HttpSvcImpl* service, const Ref<System::Stream>& stream);

    // The zero-length read's completion: data arrived (or the wait failed).
    void OnReadComplete(const Ref<System::Stream>& stream, const Exception* error,
                        int32_t bytes) override;
    // Told by the response when a reply is over.
    void OnResponseCompleted() override {}

private:
    enum class Next { Wait, Continue, Close };

    // Reads, handles and answers requests while their bytes are there; then waits or closes.
    void Drive();
    // Runs one request whose header is complete; says what the connection does next.
    Next Transact();
    // The keep-alive rule, once a reply is over.
    Next ResponseCompleted();
    // Starts the zero-length read that waits for the next bytes; false when it failed (the
    // connection is then closed and released).
    bool WaitForData();
    void ArmHeaderDeadline();
    void DisarmHeaderDeadline();
    // Answers a request that could not be handled with `status` when nothing of its reply was
    // sent yet; `beforeReply`: the request failed before its reply was begun.
    void TrySendError(const HttpStatus& status, bool beforeReply) noexcept;
    // Closes the stream (if any) and gives the object back to the cache. The last thing a
    // serving thread does with this object.
    void Release() noexcept;

    Ref<HttpSvcImpl> _service;
    Ref<System::Stream> _stream;
    Ref<RequestImpl> _request;
    Ref<ResponseImpl> _response;
    Ref<System::ScheduledItem> _headerDeadline;  // pending while a header is incomplete
};

// The HTTP service (see HttpSvc). Design note and invariants in HttpSvcImpl.cpp.
class TARVOS_INTERNAL HttpSvcImpl final : public HttpSvc, public System::LockableObjectImpl {
public:
    enum class OpState { NotReady = 1, Ready = 2, Failed = 3, Started = 4, Stopped = 5 };

    // Counters for diagnostics only: 16 bits, never reset, wrapping.
    struct Statistics {
        uint16_t acceptsFailed;
        uint16_t acceptsWithoutStream;
        uint16_t acceptsReading;
        uint16_t acceptCallbacks;
        uint16_t readsFailed;
        uint16_t readCallbacks;
    };

    HttpSvcImpl(const Ref<System::StreamServer>& socket, const Ref<Service::Logger>& logger);
    ~HttpSvcImpl() override;

    void Start() override;
    void Stop() override;
    void SetRequestHandler(const Ref<RequestHandler>& handler) override;
    RequestHandler* GetRequestHandler() override;
    void SetHeaderTimeout(int64_t micros) override;
    void SetBodyReadTimeout(int64_t micros) override;
    void SetResponseWriteTimeout(int64_t micros) override;
    std::string ToString() const override;

    Statistics GetStatistics() const noexcept;
    OpState GetState();
    static const char* GetStateName(OpState state) noexcept;

    // For the connections.
    const Ref<Service::Logger>& GetLogger() const noexcept { return _logger; }
    Ref<RequestHandler> GetHandlerForRequest();
    int64_t GetHeaderTimeout() const noexcept { return _headerTimeout.load(); }
    int64_t GetBodyReadTimeout() const noexcept { return _bodyReadTimeout.load(); }
    int64_t GetResponseWriteTimeout() const noexcept { return _responseWriteTimeout.load(); }
    void CountReadCallback(bool failed) noexcept;

private:
    // The end of one asynchronous accept.
    void AcceptHttpConn(const Exception* error, const Ref<System::Stream>& stream);
    // Issues the next asynchronous accept; requires the service lock. Its callback holds the
    // service until the accept ends, so a started service lives while its socket accepts.
    void IssueAcceptLocked();

    const Ref<Service::Logger> _logger;
    // Guarded by the service lock.
    Ref<System::StreamServer> _socket;
    Ref<RequestHandler> _requestHandler;
    OpState _opState = OpState::NotReady;

    std::atomic<int64_t> _headerTimeout{kDefaultHeaderTimeoutMicros};
    std::atomic<int64_t> _bodyReadTimeout{kDefaultBodyReadTimeoutMicros};
    std::atomic<int64_t> _responseWriteTimeout{kDefaultResponseWriteTimeoutMicros};
    std::atomic<uint16_t> _acceptsFailed{0};
    std::atomic<uint16_t> _acceptsWithoutStream{0};
    std::atomic<uint16_t> _acceptsReading{0};
    std::atomic<uint16_t> _acceptCallbacks{0};
    std::atomic<uint16_t> _readsFailed{0};
    std::atomic<uint16_t> _readCallbacks{0};
};

}  // namespace Tarvos::Http
