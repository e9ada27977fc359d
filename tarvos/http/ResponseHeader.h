#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tarvos/http/Header.h"
#include "tarvos/http/HttpStatus.h"

namespace Tarvos::Http {

// The header of a response: status code and reason phrase beside the fields. A new or cleared
// response header holds 200 "OK".
//
// Thread-safety: externally synchronised.
class TARVOS_API ResponseHeader : public Header {
public:
    ResponseHeader();
    ~ResponseHeader() override;

    // Also resets the status to 200 "OK".
    void ClearHeader() override;

    void SetStatus(const HttpStatus& status);
    void SetStatus(int32_t code, std::string_view reason);
    int32_t GetStatusCode() const noexcept { return _code; }
    const std::string& GetReasonPhrase() const noexcept { return _reason; }

    // Appends the header block for the present time to `out`:
    //   "HTTP/1.1 <code> <reason>\r\n"   (always HTTP/1.1)
    //   "Date: <FormatHttpDate>\r\n"
    //   "Set-Cookie: " + each cookie's ToHeaderString + "; " ... + "\r\n"   (only with cookies)
    //   "<name>: <value>\r\n" for each field in order ("Content-Length" fields excepted)
    //   "Content-Length: <content length>\r\n"   (always, also for 0)
    //   "\r\n"
    // A "Content-Length" entry among the fields is not written: the content length of the
    // header is the one framing the body, and a second, different one would corrupt the
    // connection.
    void SerializeHeader(std::string& out) const;
    // The same for the time `nowMicros` (microseconds since 1970-01-01 UTC).
    void SerializeHeader(std::string& out, int64_t nowMicros) const;

private:
    int32_t _code = 200;
    std::string _reason = "OK";
};

}  // namespace Tarvos::Http
