#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "tarvos/core/Export.h"

namespace Tarvos::Http {

// A status code with its reason phrase, as written in a response's status line.
//
// The library's status table is a set of constant rows (HttpStatus::OK, HttpStatus::NotFound,
// ...), one per code from 200 to 505 that the library knows; there is no 1xx row. Their reason
// phrases are the exact texts put on the wire (including the historical spelling of 415). Other
// values, such as a status read from a server's reply, are made with the constructor.
//
// Thread-safety: a value type; the table rows are immutable and may be read from any thread.
class TARVOS_API HttpStatus {
public:
    HttpStatus(int32_t code, std::string reason) : _code(code), _reason(std::move(reason)) {}

    int32_t GetCode() const noexcept { return _code; }
    const std::string& GetReason() const noexcept { return _reason; }

    bool operator==(const HttpStatus&) const = default;

    // The table rows, in code order.
    static const HttpStatus OK;                            // 200
    static const HttpStatus Created;                       // 201
    static const HttpStatus Accepted;                      // 202
    static const HttpStatus NonAuthoritativeInformation;   // 203
    static const HttpStatus NoContent;                     // 204
    static const HttpStatus ResetContent;                  // 205
    static const HttpStatus PartialContent;                // 206
    static const HttpStatus MultipleChoices;               // 300
    static const HttpStatus MovedPermanently;              // 301
    static const HttpStatus Found;                         // 302
    static const HttpStatus SeeOther;                      // 303
    static const HttpStatus NotModified;                   // 304
    static const HttpStatus UseProxy;                      // 305
    static const HttpStatus TemporaryRedirect;             // 307
    static const HttpStatus BadRequest;                    // 400
    static const HttpStatus Unauthorized;                  // 401
    static const HttpStatus PaymentRequired;               // 402
    static const HttpStatus Forbidden;                     // 403
    static const HttpStatus NotFound;                      // 404
    static const HttpStatus MethodNotAllowed;              // 405
    static const HttpStatus NotAcceptable;                 // 406
    static const HttpStatus ProxyAuthorizationRequired;    // 407
    static const HttpStatus RequestTimeout;                // 408
    static const HttpStatus Conflict;                      // 409
    static const HttpStatus Gone;                          // 410
    static const HttpStatus LengthRequired;                // 411
    static const HttpStatus PreconditionFailed;            // 412
    static const HttpStatus RequestEntityTooLarge;         // 413
    static const HttpStatus RequestUriTooLong;             // 414
    static const HttpStatus UnsupportedMediaType;          // 415
    static const HttpStatus RequestedRangeNotSatisfiable;  // 416
    static const HttpStatus ExpectationFailed;             // 417
    static const HttpStatus InternalServerError;           // 500
    static const HttpStatus NotImplemented;                // 501
    static const HttpStatus BadGateway;                    // 502
    static const HttpStatus ServiceUnavailable;            // 503
    static const HttpStatus GatewayTimeout;                // 504
    static const HttpStatus HttpVersionNotSupported;       // 505

    // The number of table rows (38).
    static size_t GetTableSize() noexcept;
    // Table row `index` (0 .. GetTableSize() - 1, in code order); null beyond the table.
    static const HttpStatus* GetTableRow(size_t index) noexcept;
    // The table row with `code`; null when the table has none.
    static const HttpStatus* Find(int32_t code) noexcept;

private:
    int32_t _code;
    std::string _reason;
};

}  // namespace Tarvos::Http
