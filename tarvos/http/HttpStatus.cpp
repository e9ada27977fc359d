#include "tarvos/http/HttpStatus.h"

#include <iterator>

namespace Tarvos::Http {

const HttpStatus HttpStatus::OK(200, "OK");
const HttpStatus HttpStatus::Created(201, "Created");
const HttpStatus HttpStatus::Accepted(202, "Accepted");
const HttpStatus HttpStatus::NonAuthoritativeInformation(203, "Non-Authoritative Information");
const HttpStatus HttpStatus::NoContent(204, "No Content");
const HttpStatus HttpStatus::ResetContent(205, "Reset Content");
const HttpStatus HttpStatus::PartialContent(206, "Partial Content");
const HttpStatus HttpStatus::MultipleChoices(300, "Multiple Choices");
const HttpStatus HttpStatus::MovedPermanently(301, "Moved Permanently");
const HttpStatus HttpStatus::Found(302, "Found");
const HttpStatus HttpStatus::SeeOther(303, "See Other");
const HttpStatus HttpStatus::NotModified(304, "Not Modified");
const HttpStatus HttpStatus::UseProxy(305, "Use Proxy");
const HttpStatus HttpStatus::TemporaryRedirect(307, "Temporary Redirect");
const HttpStatus HttpStatus::BadRequest(400, "Bad Request");
const HttpStatus HttpStatus::Unauthorized(401, "Unauthorized");
const HttpStatus HttpStatus::PaymentRequired(402, "Payment Required");
const HttpStatus HttpStatus::Forbidden(403, "Forbidden");
const HttpStatus HttpStatus::NotFound(404, "Not Found");
const HttpStatus HttpStatus::MethodNotAllowed(405, "Method Not Allowed");
const HttpStatus HttpStatus::NotAcceptable(406, "Not Acceptable");
const HttpStatus HttpStatus::ProxyAuthorizationRequired(407, "Proxy Authorization Required");
const HttpStatus HttpStatus::RequestTimeout(408, "Request Timeout");
const HttpStatus HttpStatus::Conflict(409, "Conflict");
const HttpStatus HttpStatus::Gone(410, "Gone");
const HttpStatus HttpStatus::LengthRequired(411, "Length Required");
const HttpStatus HttpStatus::PreconditionFailed(412, "Precondition Failed");
const HttpStatus HttpStatus::RequestEntityTooLarge(413, "Request Entity Too Large");
const HttpStatus HttpStatus::RequestUriTooLong(414, "Request URI Too Long");
// The phrase is misspelt on purpose: peers and log scrapers match these exact bytes.
const HttpStatus HttpStatus::UnsupportedMediaType(415, "Unsuppored Media Type");
const HttpStatus HttpStatus::RequestedRangeNotSatisfiable(416, "Requested Range Not Satisfiable");
const HttpStatus HttpStatus::ExpectationFailed(417, "Expectation Failed");
const HttpStatus HttpStatus::InternalServerError(500, "Internal Server Error");
const HttpStatus HttpStatus::NotImplemented(501, "Not Implemented");
const HttpStatus HttpStatus::BadGateway(502, "Bad Gateway");
const HttpStatus HttpStatus::ServiceUnavailable(503, "Service Unavailable");
const HttpStatus HttpStatus::GatewayTimeout(504, "Gateway Timeout");
const HttpStatus HttpStatus::HttpVersionNotSupported(505, "HTTP Version Not Supported");

namespace {

// Defined after the rows in this same file, so it is initialised after them.
const HttpStatus* const kTable[] = {
    &HttpStatus::OK,
    &HttpStatus::Created,
    &HttpStatus::Accepted,
    &HttpStatus::NonAuthoritativeInformation,
    &HttpStatus::NoContent,
    &HttpStatus::ResetContent,
    &HttpStatus::PartialContent,
    &HttpStatus::MultipleChoices,
    &HttpStatus::MovedPermanently,
    &HttpStatus::Found,
    &HttpStatus::SeeOther,
    &HttpStatus::NotModified,
    &HttpStatus::UseProxy,
    &HttpStatus::TemporaryRedirect,
    &HttpStatus::BadRequest,
    &HttpStatus::Unauthorized,
    &HttpStatus::PaymentRequired,
    &HttpStatus::Forbidden,
    &HttpStatus::NotFound,
    &HttpStatus::MethodNotAllowed,
    &HttpStatus::NotAcceptable,
    &HttpStatus::ProxyAuthorizationRequired,
    &HttpStatus::RequestTimeout,
    &HttpStatus::Conflict,
    &HttpStatus::Gone,
    &HttpStatus::LengthRequired,
    &HttpStatus::PreconditionFailed,
    &HttpStatus::RequestEntityTooLarge,
    &HttpStatus::RequestUriTooLong,
    &HttpStatus::UnsupportedMediaType,
    &HttpStatus::RequestedRangeNotSatisfiable,
    &HttpStatus::ExpectationFailed,
    &HttpStatus::InternalServerError,
    &HttpStatus::NotImplemented,
    &HttpStatus::BadGateway,
    &HttpStatus::ServiceUnavailable,
    &HttpStatus::GatewayTimeout,
    &HttpStatus::HttpVersionNotSupported,
};

}  // namespace

size_t HttpStatus::GetTableSize() noexcept {
    return std::size(kTable);
}

const HttpStatus* HttpStatus::GetTableRow(size_t index) noexcept {
    return index < std::size(kTable) ? kTable[index] : nullptr;
}

const HttpStatus* HttpStatus::Find(int32_t code) noexcept {
    for (const HttpStatus* row : kTable) {
        if (row->GetCode() == code) {
            return row;
        }
    }
    return nullptr;
}

}  // namespace Tarvos::Http
