#include "tarvos/system/PosixSystemException.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Tarvos::System {

std::string PosixSystemException::GetErrorText(int errorCode) {
    char buffer[256];
    // GNU strerror_r: returns the text, which may or may not be in `buffer`.
    const char* text = strerror_r(errorCode, buffer, sizeof buffer);
    if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) {
        std::snprintf(buffer, sizeof buffer, "Unknown error %d (0x%x)\n", errorCode,
                      static_cast<unsigned>(errorCode));
        return buffer;
    }
    return text;
}

PosixSystemException::PosixSystemException(int errorCode)
    : SystemException(GetErrorText(errorCode), errorCode) {}

PosixSystemException::PosixSystemException(int errorCode, std::string_view context)
    : SystemException(std::string(context) + ": " + GetErrorText(errorCode), errorCode) {}

void ThrowPosixError(std::string_view context) {
    throw PosixSystemException(errno, context);
}

void ThrowPosixError(int errorCode, std::string_view context) {
    throw PosixSystemException(errorCode, context);
}

}  // namespace Tarvos::System
