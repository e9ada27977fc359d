#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/StringWriter.h"
#include "tarvos/system/LockableObjectImpl.h"

namespace Tarvos {

// StringWriter over a std::string, which grows geometrically (amortised constant time per byte).
// Externally synchronised (see StringWriter).
class StringWriterImpl final : public StringWriter, public System::LockableObjectImpl {
public:
    StringWriterImpl() = default;
    ~StringWriterImpl() override;

    void Write(const char* data, int32_t length) override;
    void Flush() override {}

    void Reset() override;
    int32_t GetLength() const override { return static_cast<int32_t>(_text.size()); }

    // Everything written so far.
    std::string ToString() const override { return _text; }

private:
    std::string _text;
};

}  // namespace Tarvos
