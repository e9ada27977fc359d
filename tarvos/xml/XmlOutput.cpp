#include "tarvos/xml/internal/XmlOutput.h"

#include <array>
#include <limits>

namespace Tarvos::Xml {

namespace {

// Per byte: 0 when written as it is, else the kind of replacement.
enum Escape : uint8_t {
    kPlain = 0,
    kEntity,   // one of the five markup characters
    kCharRef,  // a character reference "&#N;"
    kPercent,  // "%" and two hexadecimal digits
};

constexpr std::array<uint8_t, 256> MakeTable(bool attribute) {
    std::array<uint8_t, 256> table{};
    for (int c = 0; c < 32; ++c) {
        table[c] = kPercent;
    }
    table['\t'] = attribute ? kCharRef : kPlain;
    table['\n'] = attribute ? kCharRef : kPlain;
    table['\r'] = kCharRef;
    table['<'] = kEntity;
    table['>'] = kEntity;
    table['&'] = kEntity;
    table['\''] = kEntity;
    table['"'] = kEntity;
    return table;
}

constexpr std::array<uint8_t, 256> kTextTable = MakeTable(false);
constexpr std::array<uint8_t, 256> kAttributeTable = MakeTable(true);

std::string_view EntityOf(char c) {
    switch (c) {
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '&':
            return "&amp;";
        case '\'':
            return "&apos;";
        default:
            return "&quot;";
    }
}

std::string_view CharRefOf(char c) {
    switch (c) {
        case '\t':
            return "&#9;";
        case '\n':
            return "&#10;";
        default:
            return "&#13;";
    }
}

}  // namespace

XmlOutput::XmlOutput(Writer& out) : _out(&out), _text(&_buffer) {
    _buffer.reserve(kPieceSize + 256);
}

XmlOutput::XmlOutput(std::string& target) : _out(nullptr), _text(&target) {}

void XmlOutput::Indent(int32_t level) {
    if (level > 0) {
        _text->append(static_cast<size_t>(level) * 2, ' ');
    }
    if (_text->size() >= kPieceSize) {
        Spill();
    }
}

void XmlOutput::AppendEscapedText(std::string_view text) {
    AppendEscaped(text, kTextTable.data());
}

void XmlOutput::AppendEscapedAttribute(std::string_view text) {
    AppendEscaped(text, kAttributeTable.data());
}

void XmlOutput::AppendEscaped(std::string_view text, const uint8_t* table) {
    static constexpr char kHex[] = "0123456789abcdef";
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char* run = p;
        while (p < end && table[static_cast<uint8_t>(*p)] == kPlain) {
            ++p;
        }
        _text->append(run, static_cast<size_t>(p - run));
        if (p == end) {
            break;
        }
        const char c = *p++;
        switch (table[static_cast<uint8_t>(c)]) {
            case kEntity:
                _text->append(EntityOf(c));
                break;
            case kCharRef:
                _text->append(CharRefOf(c));
                break;
            default: {
                const auto byte = static_cast<uint8_t>(c);
                const char percent[3] = {'%', kHex[byte >> 4], kHex[byte & 15]};
                _text->append(percent, 3);
                break;
            }
        }
        if (_text->size() >= kPieceSize) {
            Spill();
        }
    }
    if (_text->size() >= kPieceSize) {
        Spill();
    }
}

void XmlOutput::AppendCDataText(std::string_view text, int& brackets) {
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ']') {
            if (brackets < 2) {
                ++brackets;
            }
        } else {
            if (c == '>' && brackets == 2) {
                // The "]]" already written stays in this section; the ">" opens the next one.
                _text->append(text.substr(start, i - start));
                _text->append("]]><![CDATA[");
                start = i;
            }
            brackets = 0;
        }
    }
    _text->append(text.substr(start));
    if (_text->size() >= kPieceSize) {
        Spill();
    }
}

void XmlOutput::Spill() {
    if (_out == nullptr) {
        return;
    }
    // Writer::Write takes a signed 32-bit length; pieces stay far below it.
    static_assert(kPieceSize * 2 < static_cast<size_t>(std::numeric_limits<int32_t>::max()));
    const char* data = _buffer.data();
    size_t left = _buffer.size();
    while (left > 0) {
        const size_t piece = left < kPieceSize * 2 ? left : kPieceSize * 2;
        _out->Write(data, static_cast<int32_t>(piece));
        data += piece;
        left -= piece;
    }
    _buffer.clear();
}

void XmlOutput::Finish() {
    Spill();
}

}  // namespace Tarvos::Xml
