#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"
#include "tarvos/http/Cookie.h"
#include "tarvos/http/HttpStatus.h"

namespace Tarvos::Http {

// The reply to one request, as a request handler sees it. The status line and fields are
// collected until the header is sent; the body is written through the Writer interface.
//
// Framing: every reply carries Content-Length. Without SetContentLength the body is held in
// memory and its length is known when Complete (or Flush, the same) sends it. With a declared
// length the body may be streamed: the reply completes by itself when the declared count has
// been written, and a write that would go beyond it throws InvalidArgumentException (nothing is
// sent). A reply is complete once all of it has been written, or a write failed; after that it
// accepts nothing more.
//
// Every operation that changes the header (AddCookie through SetContentLength) throws
// IOException ("IO error") once the header has been sent or the reply is complete. Field
// names and values, cookie texts, locations and realms holding a carriage return, line feed or
// zero byte throw InvalidArgumentException: they would split the header.
//
// Thread-safety: confined to the thread that handles the request.
class TARVOS_API Response : public virtual Writer {
public:
    // Adds a cookie to the reply's single "Set-Cookie" line.
    virtual void AddCookie(const Ref<Cookie>& cookie) = 0;
    virtual void SetHeaderValue(const std::string& name, const std::string& value) = 0;
    // Replies `status` with "Connection: close" and an empty body, dropping any body written so
    // far; the reply is complete.
    virtual void SendError(const HttpStatus& status) = 0;
    // Replies 303 "See Other" with "Location: <location>", "Connection: close" and an empty
    // body; the reply is complete.
    virtual void Redirect(const std::string& location) = 0;
    // Replies 401 "Unauthorized" with "WWW-Authenticate: Basic realm="<realm>"" and an empty
    // body (the connection stays open); the reply is complete.
    virtual void RequireBasicAuth(const std::string& realm) = 0;
    // remove = false sets "Cache-Control: no-cache"; remove = true removes "Cache-Control".
    virtual void SetNoCache(bool remove) = 0;
    // "Content-Type: <type>", followed by "; charset=<charset>" when the charset is not empty.
    virtual void SetContentType(const std::string& type, const std::string& charset) = 0;
    // Declares the body length (>= 0 and not below what was already written, else
    // InvalidArgumentException).
    virtual void SetContentLength(int64_t length) = 0;
    // Whether the reply is over: completely written, or ended by a failure.
    virtual bool IsComplete() = 0;
    // Sets the status line; never throws (after the header was sent it changes nothing sent).
    virtual void SetStatus(const HttpStatus& status) = 0;
    // Sends the header (if not yet sent, with the buffered body's length when none was
    // declared) and the buffered body. Completes the reply when the declared length has been
    // written. Throws IOException when the reply is already complete or has no connection;
    // a failing write completes the reply and is rethrown.
    virtual void Complete() = 0;
};

}  // namespace Tarvos::Http
