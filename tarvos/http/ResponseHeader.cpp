#include "tarvos/http/ResponseHeader.h"

#include <charconv>

#include "tarvos/core/DateTime.h"
#include "tarvos/http/HttpNames.h"
#include "tarvos/http/internal/HttpText.h"
#include "tarvos/http/internal/TextUtil.h"

namespace Tarvos::Http {

namespace {

void AppendDecimal(std::string& out, int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

}  // namespace

ResponseHeader::ResponseHeader() = default;
ResponseHeader::~ResponseHeader() = default;

void ResponseHeader::ClearHeader() {
    Header::ClearHeader();
    _code = 200;
    _reason.assign("OK");
}

void ResponseHeader::SetStatus(const HttpStatus& status) {
    SetStatus(status.GetCode(), status.GetReason());
}

void ResponseHeader::SetStatus(int32_t code, std::string_view reason) {
    _code = code;
    _reason.assign(reason);
}

void ResponseHeader::SerializeHeader(std::string& out) const {
    SerializeHeader(out, GetSystemTimeMicros());
}

void ResponseHeader::SerializeHeader(std::string& out, int64_t nowMicros) const {
    // Written by hand rather than through the formatter: this runs for every reply.
    out.append(kHttp11).push_back(' ');
    AppendDecimal(out, _code);
    out.append(" ").append(_reason).append("\r\nDate: ");
    internal::AppendHttpDate(nowMicros, out);
    out.append("\r\n");

    const std::deque<Ref<Cookie>>& cookies = GetCookies();
    if (!cookies.empty()) {
        out.append(kSetCookie).append(": ");
        std::string text;
        for (const Ref<Cookie>& cookie : cookies) {
            cookie->ToHeaderString(text);
            out.append(text).append("; ");
        }
        out.append("\r\n");
    }

    for (size_t i = 0; i < GetFieldCount(); ++i) {
        const std::string& name = GetFieldName(i);
        if (internal::EqualsNoCase(name, kContentLength)) {
            continue;
        }
        out.append(name).append(": ").append(GetFieldValue(i)).append("\r\n");
    }
    out.append(kContentLength).append(": ");
    AppendDecimal(out, GetContentLength());
    out.append("\r\n\r\n");
}

}  // namespace Tarvos::Http
