#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/http/Request.h"
#include "tarvos/http/RequestHeader.h"
#include "tarvos/system/LockableObjectImpl.h"
#include "tarvos/system/Stream.h"

namespace Tarvos::Http {

// The outcome of one step of header reading.
enum class HeaderProgress {
    Closed,      // the peer closed the connection before sending a byte of a request
    Incomplete,  // more bytes are needed; the scan state is kept for the next step
    Complete,    // the header is parsed; the body can be read
};

// The server side of one connection's requests: reads each request header from the stream into
// a fixed buffer, parses it and delivers the body. One object serves every request of a
// connection (design note in RequestImpl.cpp).
//
// Thread-safety: externally synchronised. The object is a LockableObject so that the server can
// hold it while handing it from the thread that read the request to the handler's thread; no
// operation takes the lock itself.
class TARVOS_INTERNAL RequestImpl final : public Request, public System::LockableObjectImpl {
public:
    static constexpr int32_t kHeaderBufferSize = 10240;
    static constexpr int64_t kDefaultBodyReadTimeoutMicros = 60'000'000;

    RequestImpl();
    ~RequestImpl() override;

    // Starts a new request on `stream`: clears the header and the body state. Bytes of a
    // following request that arrived with the previous one stay and are scanned first, as
    // long as the stream is the same and the previous body was consumed completely (Read to
    // its end, or DiscardBody); otherwise the buffer is emptied.
    void BeginRequest(const Ref<System::Stream>& stream);
    // Drops the stream and everything buffered (the connection is over).
    void DetachStream();

    // Reads the request header with blocking reads until it is complete. Returns false when
    // the peer closed the connection before the first byte of a request, true once the header
    // is parsed. Throws MalformedHeaderException ("invalid value 0 ", "Header not parsed",
    // "Content-Length is a negative value"), NotSupportedException for another method,
    // NumberFormatException for a bad Content-Length, IOException when the connection ends
    // inside the header, and the stream's own failures.
    bool ReadRequestHeader();
    // One step of header reading that does not wait. Unscanned bytes already in the buffer are
    // scanned first; when they do not complete the header the step ends with Incomplete without
    // reading. Otherwise exactly one stream Read is made (call it when the stream has data, for
    // example after a zero-length read completed). Same failures as ReadRequestHeader;
    // InvalidStateException when no request was begun or its header is already complete.
    HeaderProgress ReadAvailableHeader();
    // Whether the buffer holds bytes of a request that have not been scanned: bytes that
    // followed the current request's body in the same reads. A server can then start the next
    // request at once instead of waiting for the stream.
    bool HasBufferedBytes() const noexcept;
    // Reads and drops what is left of the body (with the body read time limit); afterwards
    // Read returns -1. Failures as for Read.
    void DiscardBody();

    // The time limit for each stream read of the body, in microseconds; 0 or negative: none.
    // When a read waits longer, the stream is closed and IOException is thrown.
    void SetBodyReadTimeout(int64_t timeoutMicros) noexcept { _bodyReadTimeout = timeoutMicros; }
    int64_t GetBodyReadTimeout() const noexcept { return _bodyReadTimeout; }

    RequestHeader& GetRequestHeader() noexcept { return *_header; }
    const Ref<System::Stream>& GetStream() const noexcept { return _stream; }

    // Request
    int64_t GetContentLength() override;
    void GetUri(std::string& uri) override;
    bool GetCookie(const std::string& name, Ref<Cookie>& cookie) override;
    bool GetHeaderValue(const std::string& name, std::string& value) override;
    bool IsKeepAlive() override;
    bool GetBasicCredentials(std::string& user, std::string& password) override;
    void GetBindingInfo(System::BindingKind kind, Ref<System::BindingInfo>& local,
                        Ref<System::BindingInfo>& remote) override;

    // Reader: the body.
    int32_t Read(char* buffer, int32_t length) override;
    void Close() override {}

private:
    enum class Phase : uint8_t { Idle, Header, Body, Failed };

    // Scans [_scanEnd, _fill); true when the header ended (then _headerEnd is set).
    bool Scan();
    HeaderProgress FinishHeader();
    // Scans what is new in the buffer: Complete, Incomplete, or "Header not parsed" when the
    // buffer is full without the header's end.
    HeaderProgress ScanNewBytes();
    int32_t ReadBodyFromStream(char* buffer, int32_t length);
    void ResetScan() noexcept;

    const Ref<RequestHeader> _header;
    const std::unique_ptr<char[]> _buffer;
    Ref<System::Stream> _stream;
    int64_t _bodyReadTimeout = kDefaultBodyReadTimeoutMicros;
    Phase _phase = Phase::Idle;

    // Buffer layout, offsets into _buffer:
    //   [0, _fill)              bytes read from the stream for this request and beyond
    //   [_headerBegin, _headerEnd)  the header block (empty lines before it skipped)
    //   [_bodyPos, _bodyPos + _bufferedBody)  body bytes not yet delivered
    //   [_nextPos, _fill)       bytes of following requests (only once the header is complete)
    int32_t _fill = 0;
    int32_t _scanEnd = 0;
    int32_t _headerBegin = 0;
    int32_t _headerEnd = 0;
    bool _lineHasContent = false;
    bool _started = false;
    int32_t _bodyPos = 0;
    int32_t _bufferedBody = 0;
    int32_t _nextPos = 0;
    int64_t _remaining = 0;
};

// Delivers a new request object into `request` and a new response object into `response`: the
// pair a server keeps for one connection.
class ResponseImpl;
TARVOS_INTERNAL void CreateRequestResponse(Ref<RequestImpl>& request, Ref<ResponseImpl>& response);

}  // namespace Tarvos::Http
