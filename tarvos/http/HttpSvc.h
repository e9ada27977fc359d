#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/http/Request.h"
#include "tarvos/http/Response.h"
#include "tarvos/service/Logger.h"
#include "tarvos/system/StreamServer.h"

namespace Tarvos::Http {

// Answers the requests of an HTTP service. Called on pool threads, possibly for many
// connections at once; one connection's requests come one after the other. The handler must
// finish each reply before it returns: write exactly the declared Content-Length, call
// Complete, or use a finishing Response operation (SendError, Redirect, RequireBasicAuth). A
// reply left unfinished is completed by the server when it can be (no length declared), else
// the connection is closed.
class TARVOS_API RequestHandler : public virtual Object {
public:
    virtual void HandlePost(Request& request, Response& response) = 0;
    virtual void HandleGet(Request& request, Response& response) = 0;
    // Registers a sub-handler under `name`; this default keeps nothing.
    virtual void AddHandler(const std::string& name, const Ref<RequestHandler>& handler);
    // Removes the sub-handler registered under `name`; this default does nothing.
    virtual void RemoveHandler(const std::string& name);
    // The sub-handler registered under `name`; this default finds none.
    virtual bool FindHandler(const std::string& name, Ref<RequestHandler>& handler);
};

// An HTTP/1.0 and HTTP/1.1 server on a listening stream server (a TCP server socket).
//
// States: not-ready (no handler yet, or after Stop) -> ready (handler and socket present) ->
// started (accepting) -> not-ready (Stop releases socket and handler). Start from ready, failed
// or stopped. Connections that are open when Stop runs are served to the end of their current
// request and then closed.
//
// No thread waits on an idle connection: each waits with a zero-length read on its stream. A
// request header is read as its bytes arrive, without holding a thread in between, and must be
// complete within the header time limit; a body read inside a handler waits at most the body
// read time limit, and a reply's write at most the response write time limit for the client to
// take more bytes. Each expiry closes the connection.
//
// Safe for concurrent use. Start must run on a thread of the pool that serves the connections.
class TARVOS_API HttpSvc : public virtual Object {
public:
    static constexpr int64_t kDefaultHeaderTimeoutMicros = 30'000'000;
    static constexpr int64_t kDefaultBodyReadTimeoutMicros = 60'000'000;
    static constexpr int64_t kDefaultResponseWriteTimeoutMicros = 60'000'000;

    // Starts accepting. Logs "Request to start ignored, already started" when started; throws
    // Exception("ServerSocket not set") without a socket, Exception("No RequestHandler has been
    // set") without a handler.
    virtual void Start() = 0;
    // Closes the server socket and releases socket and handler; nothing when already stopped.
    virtual void Stop() = 0;
    // AlreadyInitializedException while started.
    virtual void SetRequestHandler(const Ref<RequestHandler>& handler) = 0;
    // The handler, not counted (null when none).
    virtual RequestHandler* GetRequestHandler() = 0;
    // Time limits, in microseconds (0 or negative: none); they apply to requests begun later.
    virtual void SetHeaderTimeout(int64_t micros) = 0;
    virtual void SetBodyReadTimeout(int64_t micros) = 0;
    // How long a reply's write waits for a client that takes no bytes; then the connection is
    // closed (see System::SetWriteWaitLimit).
    virtual void SetResponseWriteTimeout(int64_t micros) = 0;
};

// A new service on `socket` (listening already, or before its first Start) that logs to
// `logger` (null: the default logger); it is not-ready until it gets a handler.
TARVOS_API void CreateHttpSvc(const Ref<System::StreamServer>& socket,
                              const Ref<Service::Logger>& logger, Ref<HttpSvc>& service);

// A handler that serves the files below `documentRoot` and passes chosen URIs to sub-handlers:
//  - GET: the body is read and dropped; a sub-handler registered under the lower-cased path
//    (the URI without its query) handles the request; otherwise the file at the path below
//    the root is sent with the MIME type of its extension (see the table in the source); a
//    directory sends its "index.html" (403 without one); a missing file, a path that leaves the
//    root, and an unknown extension answer 404.
//  - POST: the body is read and dropped, and the answer is 400 "Bad Request".
// Register sub-handlers under lower-case names. Safe for concurrent use.
TARVOS_API void CreateDocumentHandler(const std::string& documentRoot,
                                      const Ref<Service::Logger>& logger,
                                      Ref<RequestHandler>& handler);

}  // namespace Tarvos::Http
