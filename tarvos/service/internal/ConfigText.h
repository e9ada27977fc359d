#pragma once

#include <string_view>

namespace Tarvos::Service {

// White space around configuration values and names, as both file formats trim it: blanks,
// tabs, carriage returns and line feeds.
inline bool IsConfigSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// `text` without its leading and trailing white space.
inline std::string_view TrimConfigSpace(std::string_view text) {
    while (!text.empty() && IsConfigSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsConfigSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace Tarvos::Service
