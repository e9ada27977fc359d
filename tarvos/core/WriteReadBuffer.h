#pragma once

#include <cstdint>

#include "tarvos/core/Export.h"
#include "tarvos/core/Reader.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"

namespace Tarvos {

// A byte buffer that is first written, then read back from its start. The first Read ends the
// writing phase for good: a Write after it throws InvalidStateException. Data is kept in 1024-byte
// chunks and never moves once written. At most 2147483647 bytes are held; a write beyond throws
// InvalidArgumentException, as do a negative length and a null buffer with a positive length.
// Flush and Close do nothing.
//
// Thread-safety: externally synchronised.
class TARVOS_API WriteReadBuffer : public virtual Writer, public virtual Reader {
public:
    // The total number of bytes written.
    virtual int32_t GetLength() const = 0;
};

// Delivers a new, empty write-read buffer into `buffer`.
TARVOS_API void CreateWriteReadBuffer(Ref<WriteReadBuffer>& buffer);

}  // namespace Tarvos
