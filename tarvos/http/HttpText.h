#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tarvos/core/Export.h"

namespace Tarvos::Http {

// The time `micros` (microseconds since 1970-01-01 UTC) in the date form of HTTP (RFC 1123),
// for example "Sun, 06 Nov 1994 08:49:37 GMT", replacing the contents of `text`. The text of
// the current second is cached per thread, so formatting the present time is a comparison and a
// copy. Thread-safe.
TARVOS_API void FormatHttpDate(int64_t micros, std::string& text);

// Undoes URL escaping: "+" becomes a space; "%" and two hexadecimal digits become that byte; "%"
// followed by two characters that are not both hexadecimal digits is dropped together with them;
// a "%" with fewer than two characters after it, and every other byte, is copied.
TARVOS_API std::string UrlDecode(std::string_view text);

// URL escaping: a space becomes "+", ASCII letters and digits are copied, every other byte
// becomes "%" and two lower-case hexadecimal digits.
TARVOS_API std::string UrlEncode(std::string_view text);

// Reads the user and password of an "Authorization" field value of the Basic scheme: the value
// must begin with "Basic " (exact case), the rest must be Base64 (RFC 4648) whose decoded text
// holds a ":"; the user is the text before the first ":", the password the text after it.
// Returns false (and leaves both outputs unchanged) otherwise.
TARVOS_API bool GetBasicCredentials(std::string_view authorization, std::string& user,
                                    std::string& password);

}  // namespace Tarvos::Http
