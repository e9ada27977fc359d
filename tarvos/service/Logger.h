#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"

namespace Tarvos::Service {

// Log levels: a message is written when its level is at most the logger's threshold.
namespace LogLevel {
inline constexpr int32_t None = 0;
inline constexpr int32_t Quiet = 1;
inline constexpr int32_t Panic = 2;
inline constexpr int32_t Error = 3;
inline constexpr int32_t Warning = 4;
inline constexpr int32_t Info = 5;
inline constexpr int32_t Verbose = 6;
inline constexpr int32_t Trivia = 7;
}  // namespace LogLevel

// The level's name ("none" ... "trivia"), or an empty text for a level out of range.
TARVOS_API const char* GetLogLevelName(int32_t level) noexcept;
// The level of a name (exact, case-sensitive); -1 for an unknown name.
TARVOS_API int32_t GetLogLevelByName(const std::string& name) noexcept;

// A named channel with a level threshold that writes one line per message to an output shared
// with the loggers created from it. Lines read
//   "[" local time "CCYY-MM-DD hh:mm:ss.mmm" " '" name "' " level name " " thread id "] "
// followed by the message and "\r\n". A whole line is written under the shared output lock, so
// lines of different threads never interleave. Use the Log functions (Log.h) to log.
//
// Safe for concurrent use.
class TARVOS_API Logger : public virtual Object {
public:
    // Renames the logger, re-registering it with its manager (which applies the new name's level
    // setting).
    virtual void SetName(const std::string& name) = 0;
    virtual std::string GetName() const = 0;
    // A new logger sharing this one's output and manager, registered under `name`; its threshold
    // is this one's, or `level` when `level` is not 0, unless a manager setting applies.
    virtual void CreateLogger(const std::string& name, int32_t level, Ref<Logger>& logger) = 0;
    virtual void CreateLogger(const std::string& name, Ref<Logger>& logger) = 0;
    virtual void SetLevel(int32_t level) = 0;
    // False, and no change, for an unknown name.
    virtual bool SetLevelByName(const std::string& levelName) = 0;
    virtual std::string GetLevelName() const = 0;
    virtual int32_t GetLevel() const = 0;
    virtual bool IsEnabled(int32_t level) const = 0;

    // One message: BeginMessage takes the output lock and writes the line header, WriteString
    // appends message text, EndMessage ends the line and releases the lock. EndMessage must
    // follow every BeginMessage on the same thread.
    virtual void BeginMessage(int32_t level) = 0;
    virtual void WriteString(const char* data, int32_t length) = 0;
    virtual void EndMessage() = 0;

    // The trace history of the logger family: the most recent log call sites of every thread.
    // Records one call site (ignored when `address` is 0).
    virtual void RecordTrace(int64_t threadId, uintptr_t address) = 0;
    // Logs the history, newest first, through this logger.
    virtual void LogHistory() = 0;
    // Writes the whole ring to `out`.
    virtual void WriteHistory(Writer& out) = 0;
};

}  // namespace Tarvos::Service
