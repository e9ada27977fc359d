#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tarvos/core/Writer.h"

namespace Tarvos::Xml {

// The serializer's output: collects text in a buffer and hands it to a Writer in large pieces
// (one virtual call per piece instead of one per token), or collects it in a string. Also the
// home of the escaping rules. Confined to one thread.
//
// Escaping of text (and of attribute values, which use the same rules plus three more):
//   "<" -> "&lt;"   ">" -> "&gt;"   "&" -> "&amp;"   "'" -> "&apos;"   '"' -> "&quot;"
//   carriage return (13) -> "&#13;"   (a raw one would read back as a line feed)
//   any other byte below 32 except tab (9) and line feed (10) -> "%" and two lower-case hex
//   digits ("%07" for byte 7)
//   in attribute values also: tab -> "&#9;", line feed -> "&#10;" (an XML parser turns raw ones
//   into spaces)
//   every other byte, including bytes of 128 and above, unchanged.
class XmlOutput {
public:
    // Sends the text to `out` in pieces; nothing reaches it before a piece is full or Finish.
    explicit XmlOutput(Writer& out);
    // Collects the text in `target` (appending); Finish does nothing.
    explicit XmlOutput(std::string& target);
    XmlOutput(const XmlOutput&) = delete;
    XmlOutput& operator=(const XmlOutput&) = delete;

    void Append(std::string_view text) {
        _text->append(text);
        if (_text->size() >= kPieceSize) {
            Spill();
        }
    }
    void Append(char c) { _text->push_back(c); }
    // Two spaces per level.
    void Indent(int32_t level);
    void AppendEscapedText(std::string_view text);
    void AppendEscapedAttribute(std::string_view text);
    // Text inside a CDATA section, unescaped. A "]]>" inside it would end the section, so it is
    // split across two sections as "]]]]><![CDATA[>". `brackets` carries the number of "]" that
    // ended the text written so far in this section (0, 1 or 2), so that a "]]>" split over two
    // text nodes is caught too.
    void AppendCDataText(std::string_view text, int& brackets);

    // Hands the rest to the writer.
    void Finish();

private:
    // Above this many buffered bytes the text goes to the writer.
    static constexpr size_t kPieceSize = 64 * 1024;

    void AppendEscaped(std::string_view text, const uint8_t* table);
    void Spill();

    Writer* const _out;
    std::string _buffer;
    std::string* const _text;
};

}  // namespace Tarvos::Xml
