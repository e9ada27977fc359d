#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Reader.h"
#include "tarvos/core/Ref.h"
#include "tarvos/http/Cookie.h"
#include "tarvos/system/BindingInfo.h"

namespace Tarvos::Http {

// The request as a request handler sees it: the parsed header and, as a Reader, the body.
//
// Read delivers the body: at most the bytes asked for, -1 once the whole body (Content-Length
// bytes) has been delivered, never more than the body, and never bytes of a following request.
// A connection that ends or fails inside the body throws IOException; so does a client that
// sends nothing for longer than the server's body read time limit (the connection is closed).
// Close does nothing: the body stays readable and the connection belongs to the server.
//
// Thread-safety: confined to the thread that handles the request.
class TARVOS_API Request : public virtual Reader {
public:
    // The body length from the header (0 without "Content-Length").
    virtual int64_t GetContentLength() = 0;
    // The decoded URI, query string included.
    virtual void GetUri(std::string& uri) = 0;
    // The first received cookie named `name` (exact case); false when there is none.
    virtual bool GetCookie(const std::string& name, Ref<Cookie>& cookie) = 0;
    // The value of the field `name` (any case); false when absent.
    virtual bool GetHeaderValue(const std::string& name, std::string& value) = 0;
    // False exactly when the request carries "Connection: close".
    virtual bool IsKeepAlive() = 0;
    // The user and password of a Basic "Authorization" field (see Http::GetBasicCredentials);
    // false when the field is absent or not of that form.
    virtual bool GetBasicCredentials(std::string& user, std::string& password) = 0;
    // The local and peer endpoints of the connection, of the kind asked for (both null for
    // another kind, and when the request has no connection).
    virtual void GetBindingInfo(System::BindingKind kind, Ref<System::BindingInfo>& local,
                                Ref<System::BindingInfo>& remote) = 0;
};

}  // namespace Tarvos::Http
