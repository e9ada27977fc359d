#pragma once

#include <cstdint>

#include "tarvos/core/Object.h"

namespace Tarvos {

// A byte source.
class TARVOS_API Reader : public virtual Object {
public:
    // Copies up to `length` bytes into `buffer`; returns the count delivered, -1 at the end of
    // the input (and only then), 0 when nothing is available yet.
    virtual int32_t Read(char* buffer, int32_t length) = 0;
    // Releases the source; further reads are not allowed.
    virtual void Close() = 0;
};

}  // namespace Tarvos
