#include "tarvos/http/HttpText.h"

#include <cstdint>
#include <cstring>

#include "tarvos/core/Base64.h"
#include "tarvos/http/internal/HttpText.h"

namespace Tarvos::Http {

namespace {

constexpr char kWeekdays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Floor division, so that times before 1970 land on the right second and day.
constexpr int64_t FloorDiv(int64_t a, int64_t b) noexcept {
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

void PutTwoDigits(char* out, int64_t value) noexcept {
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
}

// Writes the date of `seconds` (since 1970-01-01 UTC) into `out`; returns its length.
size_t RenderDate(int64_t seconds, char* out, size_t capacity) noexcept {
    const int64_t days = FloorDiv(seconds, 86400);
    const int64_t secondOfDay = seconds - days * 86400;
    // Proleptic Gregorian calendar from a day count (eras of 400 years, March-based years).
    const int64_t shifted = days + 719468;
    const int64_t era = FloorDiv(shifted, 146097);
    const int64_t dayOfEra = shifted - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;  // 0 = March
    const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    const int64_t weekday = days + 4 - FloorDiv(days + 4, 7) * 7;  // 1970-01-01: a Thursday

    char yearText[24];
    int yearLength = 0;
    if (year >= 0 && year <= 9999) {
        yearText[0] = static_cast<char>('0' + year / 1000);
        yearText[1] = static_cast<char>('0' + year / 100 % 10);
        yearText[2] = static_cast<char>('0' + year / 10 % 10);
        yearText[3] = static_cast<char>('0' + year % 10);
        yearLength = 4;
    } else {
        // Beyond four digits the full number is written rather than a wrong year.
        char digits[24];
        int64_t rest = year < 0 ? -year : year;
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest != 0);
        if (year < 0) {
            yearText[yearLength++] = '-';
        }
        while (n > 0) {
            yearText[yearLength++] = digits[--n];
        }
    }

    // "Www, DD Mmm YYYY hh:mm:ss GMT"
    const size_t length = 5 + 3 + 4 + static_cast<size_t>(yearLength) + 1 + 8 + 4;
    if (length > capacity) {
        return 0;
    }
    char* p = out;
    std::memcpy(p, kWeekdays[weekday], 3);
    p += 3;
    *p++ = ',';
    *p++ = ' ';
    PutTwoDigits(p, day);
    p += 2;
    *p++ = ' ';
    std::memcpy(p, kMonths[month - 1], 3);
    p += 3;
    *p++ = ' ';
    std::memcpy(p, yearText, static_cast<size_t>(yearLength));
    p += yearLength;
    *p++ = ' ';
    PutTwoDigits(p, secondOfDay / 3600);
    p += 2;
    *p++ = ':';
    PutTwoDigits(p, secondOfDay / 60 % 60);
    p += 2;
    *p++ = ':';
    PutTwoDigits(p, secondOfDay % 60);
    p += 2;
    std::memcpy(p, " GMT", 4);
    p += 4;
    return static_cast<size_t>(p - out);
}

// The last date rendered on this thread. The server formats the present time for every reply,
// so the text changes once a second; a per-thread copy needs no lock.
struct DateCache {
    int64_t second = INT64_MIN;
    size_t length = 0;
    char text[48];
};

int HexValue(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool IsAsciiAlphaNumeric(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

namespace internal {

void AppendHttpDate(int64_t micros, std::string& out) {
    thread_local DateCache cache;
    const int64_t second = FloorDiv(micros, 1000000);
    if (second != cache.second) {
        cache.length = RenderDate(second, cache.text, sizeof cache.text);
        cache.second = second;
    }
    out.append(cache.text, cache.length);
}

}  // namespace internal

void FormatHttpDate(int64_t micros, std::string& text) {
    text.clear();
    internal::AppendHttpDate(micros, text);
}

namespace internal {

void AppendUrlDecoded(std::string_view text, std::string& out) {
    out.reserve(out.size() + text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size()) {
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
            }
            i += 2;
        } else {
            out.push_back(c);
        }
    }
}

}  // namespace internal

std::string UrlDecode(std::string_view text) {
    std::string decoded;
    internal::AppendUrlDecoded(text, decoded);
    return decoded;
}

std::string UrlEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        if (c == ' ') {
            encoded.push_back('+');
        } else if (IsAsciiAlphaNumeric(c)) {
            encoded.push_back(c);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            encoded.push_back('%');
            encoded.push_back(kHex[byte >> 4]);
            encoded.push_back(kHex[byte & 15]);
        }
    }
    return encoded;
}

bool GetBasicCredentials(std::string_view authorization, std::string& user, std::string& password) {
    constexpr std::string_view kScheme = "Basic ";
    if (authorization.substr(0, kScheme.size()) != kScheme) {
        return false;
    }
    std::string decoded;
    if (!Base64Decode(authorization.substr(kScheme.size()), decoded)) {
        return false;
    }
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    user.assign(decoded, 0, colon);
    password.assign(decoded, colon + 1);
    return true;
}

}  // namespace Tarvos::Http
