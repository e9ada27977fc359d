#include "tarvos/core/internal/StringReaderImpl.h"

#include <cstring>
#include <limits>

#include "tarvos/core/Exception.h"
#include "tarvos/core/internal/IoArguments.h"

namespace Tarvos {

namespace {

// The read position is a signed 32-bit count, so longer texts cannot be read completely.
void CheckTextSize(const std::string& text) {
    if (text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        throw InvalidArgumentException("StringReader: text of " + std::to_string(text.size()) +
                                       " bytes exceeds 2147483647 bytes");
    }
}

}  // namespace

StringReaderImpl::StringReaderImpl(const std::string& text) : _text(text) {
    CheckTextSize(_text);
}

StringReaderImpl::~StringReaderImpl() = default;

int32_t StringReaderImpl::Read(char* buffer, int32_t length) {
    internal::CheckIoArguments(buffer, length, "StringReader::Read");
    const int32_t left = static_cast<int32_t>(_text.size()) - _position;
    if (left < 1) {
        return -1;
    }
    const int32_t count = length < left ? length : left;
    if (count > 0) {
        std::memcpy(buffer, _text.data() + _position, static_cast<size_t>(count));
    }
    _position += count;
    return count;
}

void StringReaderImpl::Close() {
    std::string().swap(_text);
    _position = 0;
}

void StringReaderImpl::SetString(const std::string& text) {
    CheckTextSize(text);
    _text = text;
    _position = 0;
}

void CreateStringReader(const std::string& text, Ref<StringReader>& reader) {
    reader = new StringReaderImpl(text);
}

}  // namespace Tarvos
