#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Exception.h"

namespace Tarvos::internal {

// Checks the (buffer, length) pair of a Read or Write before any byte is touched: a negative
// length, or a null buffer with a positive length, throws InvalidArgumentException naming
// `operation`. A null buffer with length 0 is a valid empty transfer.
inline void CheckIoArguments(const void* buffer, int32_t length, const char* operation) {
    if (length < 0) {
        throw InvalidArgumentException(std::string(operation) + ": negative length " +
                                       std::to_string(length));
    }
    if (buffer == nullptr && length > 0) {
        throw InvalidArgumentException(std::string(operation) + ": null buffer for " +
                                       std::to_string(length) + " bytes");
    }
}

}  // namespace Tarvos::internal
