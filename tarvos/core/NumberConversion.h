#pragma once

#include <cstdint>
#include <string_view>

#include "tarvos/core/Export.h"

namespace Tarvos {

// String-to-number conversions. The integer forms accept what strtol accepts (leading blanks, a
// sign, digits) followed only by spaces, tabs, line feeds and carriage returns; anything else
// throws NumberFormatException, a value out of range NumberRangeException. An empty text gives 0.
TARVOS_API int8_t StringToInt8(std::string_view text);
TARVOS_API int16_t StringToInt16(std::string_view text);
TARVOS_API int32_t StringToInt32(std::string_view text);
// Base 16, with or without "0x".
TARVOS_API int32_t StringToInt32Hex(std::string_view text);
// An optional "+" or "-" and decimal digits only; anything else throws NumberFormatException.
// An empty text gives 0; a value beyond 64 bits throws NumberRangeException.
TARVOS_API int64_t StringToInt64(std::string_view text);
// A "%f" / "%lf" scan; throws NumberFormatException when nothing converts.
TARVOS_API float StringToFloat(std::string_view text);
TARVOS_API double StringToDouble(std::string_view text);

}  // namespace Tarvos
