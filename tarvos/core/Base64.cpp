#include "tarvos/core/Base64.h"

#include <array>
#include <cstdint>

namespace Tarvos {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr int8_t kInvalid = -1;

constexpr std::array<int8_t, 256> MakeDecodeTable() {
    std::array<int8_t, 256> table{};
    for (auto& entry : table) {
        entry = kInvalid;
    }
    for (int i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    }
    return table;
}

constexpr std::array<int8_t, 256> kDecode = MakeDecodeTable();

}  // namespace

std::string Base64Encode(std::string_view data) {
    std::string text;
    text.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const uint32_t group =
            (static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << 16) |
            (static_cast<uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8) |
            static_cast<uint32_t>(static_cast<unsigned char>(data[i + 2]));
        text.push_back(kAlphabet[(group >> 18) & 63]);
        text.push_back(kAlphabet[(group >> 12) & 63]);
        text.push_back(kAlphabet[(group >> 6) & 63]);
        text.push_back(kAlphabet[group & 63]);
    }
    const size_t rest = data.size() - i;
    if (rest > 0) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << 16;
        if (rest == 2) {
            group |= static_cast<uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8;
        }
        text.push_back(kAlphabet[(group >> 18) & 63]);
        text.push_back(kAlphabet[(group >> 12) & 63]);
        text.push_back(rest == 2 ? kAlphabet[(group >> 6) & 63] : '=');
        text.push_back('=');
    }
    return text;
}

bool Base64Decode(std::string_view text, std::string& data) {
    if (text.size() % 4 != 0) {
        return false;
    }
    size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    }
    std::string decoded;
    decoded.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const size_t digits = last ? 4 - padding : 4;
        uint32_t group = 0;
        for (size_t k = 0; k < 4; ++k) {
            int8_t value = 0;
            if (k < digits) {
                value = kDecode[static_cast<unsigned char>(text[i + k])];
                if (value == kInvalid) {
                    return false;
                }
            }
            group = (group << 6) | static_cast<uint32_t>(value);
        }
        decoded.push_back(static_cast<char>((group >> 16) & 0xff));
        if (digits > 2) {
            decoded.push_back(static_cast<char>((group >> 8) & 0xff));
        }
        if (digits > 3) {
            decoded.push_back(static_cast<char>(group & 0xff));
        }
    }
    data.swap(decoded);
    return true;
}

}  // namespace Tarvos
