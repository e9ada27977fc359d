#pragma once

#include <string>
#include <string_view>

#include "tarvos/core/Export.h"

namespace Tarvos {

// Base64 with the standard alphabet of RFC 4648 ("A"-"Z", "a"-"z", "0"-"9", "+", "/") and "="
// padding.

// The encoding of `data`, padded to a multiple of four characters.
TARVOS_API std::string Base64Encode(std::string_view data);

// Decodes `text` into `data` (replacing its contents) and returns true. The text must be
// padded: its length a multiple of four, "=" only as the last one or two characters. Any other
// character, white space included, makes the text invalid: then returns false and leaves
// `data` unchanged. Bits below the last full byte are ignored.
TARVOS_API bool Base64Decode(std::string_view text, std::string& data);

}  // namespace Tarvos
