#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarvos/core/Writer.h"
#include "tarvos/http/HttpStatus.h"
#include "tarvos/system/Stream.h"

namespace Tarvos::Http {

// What a client learns from a response header.
struct ResponseHead {
    HttpStatus status{0, std::string()};
    // True for an "HTTP/1.1" status line (the connection may be kept), false for "HTTP/1.0".
    bool http11 = false;
    // The body length: the "Content-Length" value, or 0 for a reply that has no body.
    int64_t contentLength = 0;
    // The values of the "Set-Cookie" fields, in order, for the client's cookie jar.
    std::vector<std::string> setCookies;
};

// Reads responses from a client connection's stream through a 4096-byte line buffer. Bytes read
// beyond one response stay buffered for the next response on the same connection; Reset drops
// them when the connection is replaced.
//
// Failures are MalformedHeaderException with these texts: "Parse Header got CR expected LF",
// "Header has too many fields" (a line of 10000 bytes or more, or a header block beyond
// kMaxHeaderBytes), "Connection lost while parsing header", "version delimiter missing",
// "status code delmitor missing", "Header number value not in range", "Header expected a number
// value", "Invalid HTTP-Version", "Missing colon header delimiter", "Content-Length is a negative
// value", "Missing Content-Length header", "Lost connection parsing Body"; the stream's own
// failures pass through. After a failure the connection is not usable for another response.
//
// Thread-safety: externally synchronised (one request on a connection at a time).
class TARVOS_INTERNAL ResponseReader {
public:
    static constexpr int32_t kLineBufferSize = 4096;
    static constexpr size_t kMaxLineLength = 10000;
    static constexpr size_t kMaxHeaderBytes = 1024 * 1024;

    ResponseReader() = default;
    ResponseReader(const ResponseReader&) = delete;
    ResponseReader& operator=(const ResponseReader&) = delete;

    // Forgets buffered bytes (a new connection).
    void Reset() noexcept;

    // Reads one line ending in CR LF into `line`, without the CR LF. A CR that ends one stream
    // read is matched with the first byte of the next.
    void ReadHeaderLine(System::Stream& stream, std::string& line);
    // Reads the status line and the fields up to the empty line.
    //  - Status line: "<version> <code> <reason>"; the version must be "HTTP/1.1" or
    //    "HTTP/1.0", the code a 32-bit decimal number.
    //  - Field lines need a ":"; the value starts at the first non-space after it. Only
    //    "Content-Length" (any case, a non-negative decimal number) and "Set-Cookie" (exact
    //    case) are kept.
    //  - Without "Content-Length" only 204, 304 and codes below 200 are accepted; they have no
    //    body.
    void ReadHeader(System::Stream& stream, ResponseHead& head);
    // Reads exactly head.contentLength body bytes into `body`.
    void ReadBody(System::Stream& stream, const ResponseHead& head, Writer& body);
    // ReadHeader, then ReadBody.
    void ReadResponse(System::Stream& stream, ResponseHead& head, Writer& body);

private:
    // Refills the empty buffer with one stream read; throws `lostMessage` at the end of stream.
    void Fill(System::Stream& stream, const char* lostMessage);

    char _buffer[kLineBufferSize];
    int32_t _readPos = 0;
    int32_t _endPos = 0;
};

}  // namespace Tarvos::Http
