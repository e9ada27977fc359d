#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Tarvos::Http::internal {

// FormatHttpDate appending to `out` instead of replacing it (no temporary string).
void AppendHttpDate(int64_t micros, std::string& out);

// UrlDecode appending to `out`, so that a reused string keeps its storage.
void AppendUrlDecoded(std::string_view text, std::string& out);

}  // namespace Tarvos::Http::internal
