#pragma once

#include <cstdint>
#include <string_view>

#include "tarvos/core/Format.h"
#include "tarvos/core/Ref.h"
#include "tarvos/service/Logger.h"

namespace Tarvos::Service {

// Logs one message through `logger` (null: nothing happens). The call site is recorded in the
// logger's trace history whatever the level. A disabled level costs no formatting and no lock.
// Without arguments the text is written as it is; with arguments it is a positional format
// (Format.h). A malformed format throws InvalidFormatStringException; no other failure reaches
// the caller.
TARVOS_API void Log(Logger* logger, int32_t level, std::string_view text);
TARVOS_API void LogFormatArgs(Logger* logger, int32_t level, std::string_view format,
                              const FormatArg* args, int count);

inline void Log(const Ref<Logger>& logger, int32_t level, std::string_view text) {
    Log(logger.Get(), level, text);
}

template <class... A>
void Log(Logger* logger, int32_t level, std::string_view format, const A&... args) {
    static_assert(sizeof...(A) <= 9, "Log takes up to 9 arguments");
    const FormatArg list[] = {ToFormatArg(args)...};
    LogFormatArgs(logger, level, format, list, static_cast<int>(sizeof...(A)));
}

template <class... A>
void Log(const Ref<Logger>& logger, int32_t level, std::string_view format, const A&... args) {
    static_assert(sizeof...(A) <= 9, "Log takes up to 9 arguments");
    const FormatArg list[] = {ToFormatArg(args)...};
    LogFormatArgs(logger.Get(), level, format, list, static_cast<int>(sizeof...(A)));
}

// The process-wide default logger, swapped atomically; null clears it.
TARVOS_API void SetDefaultLogger(const Ref<Logger>& logger);
// Throws NotInitializedException when none is set.
TARVOS_API Ref<Logger> GetDefaultLogger();
// The default logger or null, without an exception.
TARVOS_API Ref<Logger> TryGetDefaultLogger() noexcept;

}  // namespace Tarvos::Service
