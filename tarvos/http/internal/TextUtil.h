#pragma once

#include <cstddef>
#include <string_view>

namespace Tarvos::Http::internal {

// White space as the header parsers trim it.
constexpr bool IsWhiteSpace(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// `text` without white space at either end.
constexpr std::string_view Trim(std::string_view text) noexcept {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsWhiteSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && IsWhiteSpace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

constexpr char ToLowerAscii(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Three-way comparison of two names after lower-casing ASCII letters of both.
constexpr int CompareNoCase(std::string_view a, std::string_view b) noexcept {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(ToLowerAscii(a[i]));
        const auto cb = static_cast<unsigned char>(ToLowerAscii(b[i]));
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

constexpr bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

// Whether `text` holds a carriage return, a line feed or a zero byte: such text would end a
// header line early and let the rest be read as further fields or as the body.
constexpr bool HasLineBreak(std::string_view text) noexcept {
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == '\0') {
            return true;
        }
    }
    return false;
}

}  // namespace Tarvos::Http::internal
