#pragma once

#include <string>
#include <string_view>

#include "tarvos/core/Exception.h"

namespace Tarvos::System {

// A failed system call: carries errno as the error code. The message is the system's text for
// the code (strerror_r), or "Unknown error %d (0x%x)\n" for a code the system does not know;
// with a context (the operation and the path or peer) the message is "<context>: <text>".
class TARVOS_API PosixSystemException : public SystemException {
public:
    explicit PosixSystemException(int errorCode);
    PosixSystemException(int errorCode, std::string_view context);

    // The system's text for an errno value, as the message above uses it.
    static std::string GetErrorText(int errorCode);
};

// Throws PosixSystemException for the current errno with a context.
[[noreturn]] TARVOS_API void ThrowPosixError(std::string_view context);
// Throws PosixSystemException for `errorCode` with a context.
[[noreturn]] TARVOS_API void ThrowPosixError(int errorCode, std::string_view context);

}  // namespace Tarvos::System
