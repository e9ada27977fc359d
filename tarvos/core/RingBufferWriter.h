#pragma once

#include <cstdint>

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"
#include "tarvos/system/LockableObject.h"

namespace Tarvos {

// A writer into a fixed buffer that keeps the most recent output of a process in memory. A write
// is never split: one that does not fit behind the newest data starts again at the front of the
// buffer. Every write is followed by the end marker, ten asterisks and a zero byte
// ("**********\0"), so the buffer always shows where the newest data ends; bytes after the marker
// are the tail of an earlier round. The buffer is allocated once, at creation, with room for the
// capacity plus the marker.
//
// Write throws NotSupportedException when the length exceeds the capacity, and
// InvalidArgumentException for a negative length or a null buffer with a positive length. Flush
// does nothing.
//
// Thread-safety: externally synchronised; callers that share one writer between threads hold its
// lock (LockableObject) around each sequence of calls.
class TARVOS_API RingBufferWriter : public virtual Writer, public virtual System::LockableObject {
public:
    // Rewinds to the front of the buffer; the bytes already there stay until overwritten.
    virtual void Reset() = 0;
    // The address just past the newest write (where its end marker starts).
    virtual const char* GetCurrent() const = 0;
    // The start of the buffer.
    virtual const char* GetBuffer() const = 0;
};

// Delivers a new ring-buffer writer of `capacity` bytes into `writer`. A negative capacity, or
// one that leaves no room for the end marker within 2147483647 bytes, throws
// InvalidArgumentException.
TARVOS_API void CreateRingBufferWriter(int32_t capacity, Ref<RingBufferWriter>& writer);

}  // namespace Tarvos
