#include "tarvos/http/RequestHeader.h"

#include "tarvos/core/Exception.h"
#include "tarvos/http/internal/HttpText.h"
#include "tarvos/http/internal/TextUtil.h"

namespace Tarvos::Http {

RequestHeader::RequestHeader() = default;
RequestHeader::~RequestHeader() = default;

void RequestHeader::ClearHeader() {
    Header::ClearHeader();
    _method = HttpMethod::Get;
    _uri.clear();
    _http11 = false;
}

void RequestHeader::ParseFields(std::string_view text) {
    const size_t lineEnd = text.find("\r\n");
    const std::string_view line = text.substr(0, lineEnd);

    std::string_view rest;
    if (line.starts_with(kMethodGet)) {
        _method = HttpMethod::Get;
        rest = line.substr(sizeof kMethodGet - 1);
    } else if (line.starts_with(kMethodPost)) {
        _method = HttpMethod::Post;
        rest = line.substr(sizeof kMethodPost - 1);
    } else if (line.starts_with(kMethodHead)) {
        _method = HttpMethod::Head;
        rest = line.substr(sizeof kMethodHead - 1);
    } else {
        throw NotSupportedException();
    }
    rest = internal::Trim(rest);
    _uri.clear();
    internal::AppendUrlDecoded(rest.substr(0, rest.find(' ')), _uri);
    _http11 = line.find(kHttp11) != std::string_view::npos;

    Header::ParseFields(lineEnd == std::string_view::npos ? std::string_view()
                                                          : text.substr(lineEnd + 2));
}

}  // namespace Tarvos::Http
