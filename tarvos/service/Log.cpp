#include "tarvos/service/Log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "tarvos/core/Exception.h"

namespace Tarvos::Service {

namespace {

const char* const kLevelNames[] = {"none", "quiet",   "panic",  "error", "warning",
                                   "info", "verbose", "trivia", ""};

int64_t CurrentThreadId() noexcept {
    thread_local const int64_t id = syscall(SYS_gettid);
    return id;
}

// The default logger. Readers take their own reference under a small lock; the swap is a single
// exchange under it, so a reader never sees a logger whose last reference is being dropped.
std::mutex g_defaultLoggerMutex;
Ref<Logger> g_defaultLogger;

// A per-thread buffer for formatting messages, so that a log line costs no allocation once the
// buffer has grown. A message formatted while another one is (an argument's ToString that logs)
// uses a buffer of its own.
class MessageBuffer {
public:
    MessageBuffer() : _text(t_depth++ == 0 ? t_buffer : _own) { _text.clear(); }
    ~MessageBuffer() {
        --t_depth;
        if (&_text == &t_buffer && t_buffer.capacity() > kKeptCapacity) {
            std::string().swap(t_buffer);  // a huge message does not pin its memory
        }
    }
    MessageBuffer(const MessageBuffer&) = delete;
    MessageBuffer& operator=(const MessageBuffer&) = delete;
    std::string& Text() noexcept { return _text; }

private:
    static constexpr size_t kKeptCapacity = 64 * 1024;
    static thread_local std::string t_buffer;
    static thread_local int t_depth;
    std::string _own;
    std::string& _text;
};

thread_local std::string MessageBuffer::t_buffer;
thread_local int MessageBuffer::t_depth = 0;

// Writes one message; `format` is expanded only when `args` is not null.
void WriteMessage(Logger* logger, int32_t level, std::string_view format, const FormatArg* args,
                  int count) {
    MessageBuffer buffer;
    if (args != nullptr) {
        // Formatting before BeginMessage keeps the output lock short; a malformed format throws
        // here, before anything was written.
        FormatArgsAppend(buffer.Text(), format, args, count);
        format = buffer.Text();
    }
    try {
        logger->BeginMessage(level);
        try {
            logger->WriteString(format.data(), static_cast<int32_t>(format.size()));
        } catch (...) {
            logger->EndMessage();
            throw;
        }
        logger->EndMessage();
    } catch (...) {
        // Logging never fails its caller.
    }
}

}  // namespace

const char* GetLogLevelName(int32_t level) noexcept {
    if (level < LogLevel::None || level > LogLevel::Trivia) {
        return "";
    }
    return kLevelNames[level];
}

int32_t GetLogLevelByName(const std::string& name) noexcept {
    for (int32_t level = 0; kLevelNames[level][0] != '\0'; ++level) {
        if (name == kLevelNames[level]) {
            return level;
        }
    }
    return -1;
}

namespace {

// Records the call site and tells whether the level is enabled; false also for a null logger or
// a logger that fails here.
bool RecordAndCheck(Logger* logger, int32_t level, void* returnAddress) noexcept {
    if (logger == nullptr) {
        return false;
    }
    try {
        logger->RecordTrace(CurrentThreadId(), reinterpret_cast<uintptr_t>(returnAddress));
        return logger->IsEnabled(level);
    } catch (...) {
        return false;
    }
}

}  // namespace

// Both entry points take their own return address: that is the caller's log call site.
void Log(Logger* logger, int32_t level, std::string_view text) {
    if (RecordAndCheck(logger, level, __builtin_extract_return_addr(__builtin_return_address(0)))) {
        WriteMessage(logger, level, text, nullptr, 0);
    }
}

void LogFormatArgs(Logger* logger, int32_t level, std::string_view format, const FormatArg* args,
                   int count) {
    if (RecordAndCheck(logger, level, __builtin_extract_return_addr(__builtin_return_address(0)))) {
        WriteMessage(logger, level, format, args, count);
    }
}

void SetDefaultLogger(const Ref<Logger>& logger) {
    Ref<Logger> previous;
    {
        std::lock_guard<std::mutex> guard(g_defaultLoggerMutex);
        previous = std::move(g_defaultLogger);
        g_defaultLogger = logger;
    }
    // The old logger is released outside the lock: its destruction may log.
}

Ref<Logger> GetDefaultLogger() {
    Ref<Logger> logger = TryGetDefaultLogger();
    if (!logger) {
        throw NotInitializedException();
    }
    return logger;
}

Ref<Logger> TryGetDefaultLogger() noexcept {
    std::lock_guard<std::mutex> guard(g_defaultLoggerMutex);
    return g_defaultLogger;
}

}  // namespace Tarvos::Service
