#pragma once

#include <string>

#include "tarvos/core/Exception.h"

namespace Tarvos::Http {

// An HTTP message whose header cannot be read: a zero byte, a header block too large for the
// request buffer, a broken status line or field line, a bad or negative Content-Length, or a
// connection that ended inside the header or body. The message names the fault with one of the
// fixed texts of the reader that found it (for example "Header not parsed").
class TARVOS_API MalformedHeaderException : public Exception {
public:
    explicit MalformedHeaderException(const std::string& message) : Exception(message) {}
};

}  // namespace Tarvos::Http
