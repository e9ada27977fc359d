#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Export.h"
#include "tarvos/core/Reader.h"
#include "tarvos/core/Ref.h"
#include "tarvos/system/LockableObject.h"

namespace Tarvos {

// A reader that reads its source in blocks of a fixed size and can deliver text line by line.
//
// Read waits for the full length: it returns fewer bytes than asked only when the source ended,
// and -1 when the source ended before any byte. A zero length returns 0 (or -1 at the end of the
// source); a negative length or a null buffer with a positive length throws
// InvalidArgumentException. A source Read that returns 0 is repeated until it delivers bytes or
// reports the end.
//
// Close closes the source and drops it together with the buffered bytes; any later Read or
// ReadLine throws InvalidStateException. A second Close does nothing.
//
// Thread-safety: externally synchronised; callers that share one reader between threads hold its
// lock (LockableObject) around each sequence of calls.
class TARVOS_API BufferedReader : public virtual Reader, public virtual System::LockableObject {
public:
    // Reads the next line into `line` without its terminator: a line feed, a carriage return, or
    // a carriage return followed by a line feed. A last line without terminator is delivered too.
    // Returns false, with `line` empty, only when no byte at all was left.
    virtual bool ReadLine(std::string& line) = 0;
};

// Delivers a new buffered reader over `source` into `reader`; a `bufferSize` below 1 means 1024.
// A null source throws InvalidArgumentException.
TARVOS_API void CreateBufferedReader(const Ref<Reader>& source, int32_t bufferSize,
                                     Ref<BufferedReader>& reader);

}  // namespace Tarvos
