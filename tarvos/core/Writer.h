#pragma once

#include <cstdint>

#include "tarvos/core/Object.h"

namespace Tarvos {

// A byte sink. Implementations: StringWriter, RingBufferWriter, DoubleWriter, NullWriter,
// WriteReadBuffer (core), file, console and rotating writers (system), loggers (service).
class TARVOS_API Writer : public virtual Object {
public:
    // Appends exactly `length` bytes of `data`; throws on failure.
    virtual void Write(const char* data, int32_t length) = 0;
    // Pushes buffered bytes towards their destination.
    virtual void Flush() = 0;
};

}  // namespace Tarvos
