#pragma once

#include <string>

#include "tarvos/core/Export.h"
#include "tarvos/core/Reader.h"
#include "tarvos/core/Ref.h"

namespace Tarvos {

// A reader over a copy of a text. Read delivers the next bytes and returns -1 once every byte was
// delivered (at once for an empty text). Close discards the text, after which Read returns -1.
// Texts longer than 2147483647 bytes are refused with InvalidArgumentException, and so are a
// negative read length and a null buffer with a positive length.
//
// Thread-safety: externally synchronised.
class TARVOS_API StringReader : public virtual Reader {
public:
    // Replaces the text with a copy of `text` and rewinds to its start.
    virtual void SetString(const std::string& text) = 0;
};

// Delivers a new reader over a copy of `text` into `reader`.
TARVOS_API void CreateStringReader(const std::string& text, Ref<StringReader>& reader);

}  // namespace Tarvos
