#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/http/Response.h"
#include "tarvos/http/ResponseHeader.h"
#include "tarvos/system/LockableObjectImpl.h"
#include "tarvos/system/Stream.h"

namespace Tarvos::Http {

// Told when a reply is over: written completely, or ended by a failed write. The connection
// implements it to read the next request or to close. It runs on the thread that finished the
// reply, inside that thread's last Write, Complete or finishing Response operation, once per
// reply, as the last thing the response does; it must not throw.
class ResponseListener {
public:
    virtual void OnResponseCompleted() = 0;

protected:
    ~ResponseListener() = default;
};

// The server side of one connection's replies (see Response for the contract, and the design
// note in ResponseImpl.cpp). One object serves every reply of a connection: BeginResponse resets
// it for the next one.
//
// Thread-safety: externally synchronised; a LockableObject for the hand-over between threads,
// as RequestImpl.
class TARVOS_INTERNAL ResponseImpl final : public Response, public System::LockableObjectImpl {
public:
    static constexpr int32_t kBodyBufferSize = 10240;

    ResponseImpl();
    ~ResponseImpl() override;

    // Starts a new reply on `stream`: 200 "OK", no fields or cookies, no declared length,
    // nothing written, active.
    void BeginResponse(const Ref<System::Stream>& stream);
    // Drops the stream; the response is inactive until the next BeginResponse.
    void DetachStream();
    // The listener told when each reply is over (null: none). The listener must stay valid
    // while it is set; it is not referenced.
    void SetListener(ResponseListener* listener) noexcept { _listener = listener; }

    ResponseHeader& GetResponseHeader() noexcept { return *_header; }
    bool IsHeaderSent() const noexcept { return _headerSent; }
    // The declared body length, -1 when none was declared yet.
    int64_t GetDeclaredLength() const noexcept { return _declared; }

    // Response
    void AddCookie(const Ref<Cookie>& cookie) override;
    void SetHeaderValue(const std::string& name, const std::string& value) override;
    void SendError(const HttpStatus& status) override;
    void Redirect(const std::string& location) override;
    void RequireBasicAuth(const std::string& realm) override;
    void SetNoCache(bool remove) override;
    void SetContentType(const std::string& type, const std::string& charset) override;
    void SetContentLength(int64_t length) override;
    bool IsComplete() override { return !_active; }
    void SetStatus(const HttpStatus& status) override;
    void Complete() override;

    // Writer: the body. Flush is Complete.
    void Write(const char* data, int32_t length) override;
    void Flush() override { Complete(); }

private:
    // Throws IOException unless the header may still change.
    void CheckHeaderOpen() const;
    // Sends the header (if not sent) and the buffered body; marks the reply over on failure.
    void SendBuffered();
    void WriteToStream(const char* data, size_t length);
    // Ends the reply: inactive, listener told.
    void Finish() noexcept;
    // Replaces the reply by an empty body with what the caller set in the header, and sends it.
    void SendEmptyReply();
    void Append(const char* data, size_t length);
    void Reserve(size_t capacity);

    const Ref<ResponseHeader> _header;
    Ref<System::Stream> _stream;
    ResponseListener* _listener = nullptr;

    std::unique_ptr<char[]> _body;
    size_t _bodyCapacity = 0;
    size_t _bodyCount = 0;
    // The header text, and for small replies header and body together: one stream write.
    std::string _wire;

    bool _headerSent = false;
    bool _active = false;
    int64_t _declared = -1;
    int64_t _written = 0;
};

}  // namespace Tarvos::Http
