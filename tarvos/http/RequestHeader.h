#pragma once

#include <string>
#include <string_view>

#include "tarvos/http/Header.h"
#include "tarvos/http/HttpNames.h"

namespace Tarvos::Http {

// The header of a request: the request line's method, URI and version beside the fields.
//
// Thread-safety: externally synchronised.
class TARVOS_API RequestHeader : public Header {
public:
    RequestHeader();
    ~RequestHeader() override;

    // Parses a whole header block: the request line (the text up to the first CR LF), then the
    // fields behind it (Header::ParseFields).
    //  - The method is GET, POST or HEAD when the line starts with that name (a plain prefix
    //    comparison); any other line throws NotSupportedException.
    //  - The rest of the line is trimmed; the URI is its text up to the first space (all of it
    //    when there is none), URL-decoded.
    //  - The request is HTTP/1.1 when "HTTP/1.1" occurs anywhere in the line.
    // Fields are added to those present; clear the header first for a new request.
    void ParseFields(std::string_view text) override;

    // Also resets the request line: method GET, empty URI, not HTTP/1.1.
    void ClearHeader() override;

    HttpMethod GetMethod() const noexcept { return _method; }
    // The URL-decoded URI, query string included.
    const std::string& GetUri() const noexcept { return _uri; }
    bool IsHttp11() const noexcept { return _http11; }

private:
    HttpMethod _method = HttpMethod::Get;
    std::string _uri;
    bool _http11 = false;
};

}  // namespace Tarvos::Http
