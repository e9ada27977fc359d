#pragma once

#include <cstdint>

namespace Tarvos::Http {

// The request methods the server understands; the values are stable.
enum class HttpMethod : int32_t {
    Get = 0,
    Post = 1,
    Head = 2,
};

// Field names and field values the library reads or writes. Field names are matched without
// regard to case; field values ("close") are compared byte for byte.
inline constexpr char kContentLength[] = "Content-Length";
inline constexpr char kCookie[] = "Cookie";
inline constexpr char kCookiePath[] = "$Path";
inline constexpr char kSetCookie[] = "Set-Cookie";
inline constexpr char kKeepAlive[] = "Keep-Alive";
inline constexpr char kClose[] = "close";
inline constexpr char kConnection[] = "Connection";
inline constexpr char kLocation[] = "Location";
inline constexpr char kUserAgent[] = "User-Agent";
inline constexpr char kContentType[] = "Content-Type";
inline constexpr char kHost[] = "Host";
inline constexpr char kAuthorization[] = "Authorization";
inline constexpr char kWwwAuthenticate[] = "WWW-Authenticate";
inline constexpr char kCacheControl[] = "Cache-Control";

// Protocol versions as written in start lines.
inline constexpr char kHttp10[] = "HTTP/1.0";
inline constexpr char kHttp11[] = "HTTP/1.1";

// Method names as written in request lines.
inline constexpr char kMethodGet[] = "GET";
inline constexpr char kMethodPost[] = "POST";
inline constexpr char kMethodHead[] = "HEAD";

}  // namespace Tarvos::Http
