#pragma once

#include <cstdint>

#include "tarvos/core/Object.h"
#include "tarvos/core/Writer.h"

namespace Tarvos::System {

// A Writer on the process's standard output (descriptor 1), unbuffered: each Write is complete
// when it returns, so lines of a log written through it appear at once. A failed write throws
// PosixSystemException with "write <stdout>" as context.
//
// Safe for concurrent use (it has no state); bytes of concurrent Writes may interleave, callers
// that need whole lines serialise them (the logger does).
class ConsoleWriterPosix final : public Writer, public ObjectImpl {
public:
    void Write(const char* data, int32_t length) override;
    // Nothing is buffered here.
    void Flush() override {}
};

}  // namespace Tarvos::System
