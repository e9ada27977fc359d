#pragma once

#include <cstdint>

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"
#include "tarvos/system/LockableObject.h"

namespace Tarvos {

// A writer that accumulates everything written in memory; ToString returns the text written so
// far. At most 2147483647 bytes are held: a write that would go beyond throws
// InvalidArgumentException and leaves the text unchanged. Write throws InvalidArgumentException
// for a negative length or a null buffer with a positive length; a zero-length write does nothing.
//
// Thread-safety: externally synchronised. No operation locks by itself; callers that share one
// writer between threads hold its lock (LockableObject) around each sequence of calls.
class TARVOS_API StringWriter : public virtual Writer, public virtual System::LockableObject {
public:
    // Discards everything written.
    virtual void Reset() = 0;
    // The number of bytes written since creation or the last Reset.
    virtual int32_t GetLength() const = 0;
};

// Delivers a new, empty string writer into `writer`.
TARVOS_API void CreateStringWriter(Ref<StringWriter>& writer);

}  // namespace Tarvos
