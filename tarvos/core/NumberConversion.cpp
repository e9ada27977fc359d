#include "tarvos/core/NumberConversion.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "tarvos/core/Exception.h"

namespace Tarvos {

namespace {

bool IsTrailingBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// strtol over `text`, followed only by blanks; the result must lie in [low, high].
long ParseLong(std::string_view text, int base, long low, long high) {
    if (text.empty()) {
        return 0;
    }
    // strtol stops at a zero byte; text with one inside is not a number.
    if (text.find('\0') != std::string_view::npos) {
        throw NumberFormatException();
    }
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(copy.c_str(), &end, base);
    for (const char* p = end; *p != '\0'; ++p) {
        if (!IsTrailingBlank(*p)) {
            throw NumberFormatException();
        }
    }
    if (errno == ERANGE || value < low || value > high) {
        throw NumberRangeException();
    }
    return value;
}

template <class F>
F ScanFloat(std::string_view text, const char* form) {
    const std::string copy(text);
    F value = 0;
    if (std::sscanf(copy.c_str(), form, &value) != 1) {
        throw NumberFormatException();
    }
    return value;
}

}  // namespace

int8_t StringToInt8(std::string_view text) {
    return static_cast<int8_t>(ParseLong(text, 10, -128, 127));
}

int16_t StringToInt16(std::string_view text) {
    return static_cast<int16_t>(ParseLong(text, 10, -32768, 32767));
}

int32_t StringToInt32(std::string_view text) {
    return static_cast<int32_t>(ParseLong(text, 10, std::numeric_limits<int32_t>::min(),
                                          std::numeric_limits<int32_t>::max()));
}

int32_t StringToInt32Hex(std::string_view text) {
    return static_cast<int32_t>(ParseLong(text, 16, std::numeric_limits<int32_t>::min(),
                                          std::numeric_limits<int32_t>::max()));
}

int64_t StringToInt64(std::string_view text) {
    size_t at = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        at = 1;
    }
    // Accumulate negatively so that the most negative value is representable.
    int64_t value = 0;
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c < '0' || c > '9') {
            throw NumberFormatException();
        }
        const int digit = c - '0';
        if (value < (kMin + digit) / 10) {
            throw NumberRangeException();
        }
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == kMin) {
            throw NumberRangeException();
        }
        value = -value;
    }
    return value;
}

float StringToFloat(std::string_view text) {
    return ScanFloat<float>(text, "%f");
}

double StringToDouble(std::string_view text) {
    return ScanFloat<double>(text, "%lf");
}

}  // namespace Tarvos
