#include "tarvos/http/HttpStatus.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace Tarvos::Http {
namespace {

struct Row {
    const HttpStatus* constant;
    int32_t code;
    const char* reason;
};

// Every row as it must appear on the wire, in table order.
const Row kRows[] = {
    {&HttpStatus::OK, 200, "OK"},
    {&HttpStatus::Created, 201, "Created"},
    {&HttpStatus::Accepted, 202, "Accepted"},
    {&HttpStatus::NonAuthoritativeInformation, 203, "Non-Authoritative Information"},
    {&HttpStatus::NoContent, 204, "No Content"},
    {&HttpStatus::ResetContent, 205, "Reset Content"},
    {&HttpStatus::PartialContent, 206, "Partial Content"},
    {&HttpStatus::MultipleChoices, 300, "Multiple Choices"},
    {&HttpStatus::MovedPermanently, 301, "Moved Permanently"},
    {&HttpStatus::Found, 302, "Found"},
    {&HttpStatus::SeeOther, 303, "See Other"},
    {&HttpStatus::NotModified, 304, "Not Modified"},
    {&HttpStatus::UseProxy, 305, "Use Proxy"},
    {&HttpStatus::TemporaryRedirect, 307, "Temporary Redirect"},
    {&HttpStatus::BadRequest, 400, "Bad Request"},
    {&HttpStatus::Unauthorized, 401, "Unauthorized"},
    {&HttpStatus::PaymentRequired, 402, "Payment Required"},
    {&HttpStatus::Forbidden, 403, "Forbidden"},
    {&HttpStatus::NotFound, 404, "Not Found"},
    {&HttpStatus::MethodNotAllowed, 405, "Method Not Allowed"},
    {&HttpStatus::NotAcceptable, 406, "Not Acceptable"},
    {&HttpStatus::ProxyAuthorizationRequired, 407, "Proxy Authorization Required"},
    {&HttpStatus::RequestTimeout, 408, "Request Timeout"},
    {&HttpStatus::Conflict, 409, "Conflict"},
    {&HttpStatus::Gone, 410, "Gone"},
    {&HttpStatus::LengthRequired, 411, "Length Required"},
    {&HttpStatus::PreconditionFailed, 412, "Precondition Failed"},
    {&HttpStatus::RequestEntityTooLarge, 413, "Request Entity Too Large"},
    {&HttpStatus::RequestUriTooLong, 414, "Request URI Too Long"},
    {&HttpStatus::UnsupportedMediaType, 415, "Unsuppored Media Type"},
    {&HttpStatus::RequestedRangeNotSatisfiable, 416, "Requested Range Not Satisfiable"},
    {&HttpStatus::ExpectationFailed, 417, "Expectation Failed"},
    {&HttpStatus::InternalServerError, 500, "Internal Server Error"},
    {&HttpStatus::NotImplemented, 501, "Not Implemented"},
    {&HttpStatus::BadGateway, 502, "Bad Gateway"},
    {&HttpStatus::ServiceUnavailable, 503, "Service Unavailable"},
    {&HttpStatus::GatewayTimeout, 504, "Gateway Timeout"},
    {&HttpStatus::HttpVersionNotSupported, 505, "HTTP Version Not Supported"},
};

class HttpStatusRowTest : public ::testing::TestWithParam<size_t> {};

TEST_P(HttpStatusRowTest, ConstantTableRowAndLookupAgree) {
    const Row& row = kRows[GetParam()];
    EXPECT_EQ(row.constant->GetCode(), row.code);
    EXPECT_EQ(row.constant->GetReason(), row.reason);
    EXPECT_EQ(HttpStatus::GetTableRow(GetParam()), row.constant);
    EXPECT_EQ(HttpStatus::Find(row.code), row.constant);
}

INSTANTIATE_TEST_SUITE_P(AllRows, HttpStatusRowTest,
                         ::testing::Range<size_t>(0, sizeof kRows / sizeof kRows[0]));

TEST(HttpStatusTest, TableHasExactlyTheThirtyEightRowsAndNoInformationalOnes) {
    ASSERT_EQ(HttpStatus::GetTableSize(), 38u);
    EXPECT_EQ(HttpStatus::GetTableRow(38), nullptr);
    std::set<int32_t> codes;
    for (size_t i = 0; i < HttpStatus::GetTableSize(); ++i) {
        codes.insert(HttpStatus::GetTableRow(i)->GetCode());
    }
    EXPECT_EQ(codes.size(), 38u);
    EXPECT_EQ(HttpStatus::Find(100), nullptr);
    EXPECT_EQ(HttpStatus::Find(306), nullptr);
    EXPECT_EQ(HttpStatus::Find(418), nullptr);
}

TEST(HttpStatusTest, ValuesCompareByCodeAndReason) {
    EXPECT_EQ(HttpStatus(404, "Not Found"), HttpStatus::NotFound);
    EXPECT_NE(HttpStatus(404, "Missing"), HttpStatus::NotFound);
    EXPECT_NE(HttpStatus(405, "Not Found"), HttpStatus::NotFound);
}

}  // namespace
}  // namespace Tarvos::Http
