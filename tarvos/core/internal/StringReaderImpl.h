#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/StringReader.h"

namespace Tarvos {

// StringReader over its own copy of the text. Externally synchronised.
//
// Invariant: 0 <= _position <= _text.size() <= INT32_MAX.
class StringReaderImpl final : public StringReader, public ObjectImpl {
public:
    explicit StringReaderImpl(const std::string& text);
    ~StringReaderImpl() override;

    int32_t Read(char* buffer, int32_t length) override;
    void Close() override;
    void SetString(const std::string& text) override;

private:
    std::string _text;
    int32_t _position = 0;
};

}  // namespace Tarvos
