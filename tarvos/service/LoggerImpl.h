#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"
#include "tarvos/service/LogManager.h"
#include "tarvos/service/Logger.h"
#include "tarvos/system/LockableObjectImpl.h"

namespace Tarvos::Service {

class LogSink;

// The Logger of this library. A root logger owns a new output family (output lock, output
// Writer, trace history); loggers created from it share that family and the root's manager.
// As a Writer, Write appends to the message the calling thread has open (with none open, the
// text goes to the output as it is, under the output lock), and Flush pushes the family's output.
//
// The threshold is read without a lock (a disabled level costs one comparison). The name is
// changed under the logger's own lock and the family's output lock, so that a line header never
// shows a half-changed name. Lock order: the logger's lock, then the manager's lock or the
// output lock; the manager never holds its lock while calling a logger.
//
// Safe for concurrent use.
class TARVOS_API LoggerImpl : public Logger, public Writer, public System::LockableObjectImpl {
public:
    // A root logger at level 5 ("info") writing to `output` (null: lines are discarded). It is
    // not registered with `manager` here (CreateRootLogger does that); loggers created from it
    // are. `manager` may be null.
    LoggerImpl(const std::string& name, const Ref<Writer>& output, const Ref<LogManager>& manager);
    ~LoggerImpl() override;

    LoggerImpl(const LoggerImpl&) = delete;
    LoggerImpl& operator=(const LoggerImpl&) = delete;

    void SetName(const std::string& name) override;
    std::string GetName() const override;
    void CreateLogger(const std::string& name, int32_t level, Ref<Logger>& logger) override;
    void CreateLogger(const std::string& name, Ref<Logger>& logger) override;
    void SetLevel(int32_t level) override;
    bool SetLevelByName(const std::string& levelName) override;
    std::string GetLevelName() const override;
    int32_t GetLevel() const override;
    bool IsEnabled(int32_t level) const override;

    // BeginMessage may throw only when memory runs out; EndMessage never throws: a failing
    // output loses the line, not the caller.
    void BeginMessage(int32_t level) override;
    void WriteString(const char* data, int32_t length) override;
    void EndMessage() override;

    void RecordTrace(int64_t threadId, uintptr_t address) override;
    void LogHistory() override;
    void WriteHistory(Writer& out) override;

    // Writer: Write is WriteString; Flush flushes the family's output (PanicExit relies on it).
    void Write(const char* data, int32_t length) override;
    void Flush() override;

    const Ref<LogManager>& GetLogManager() const noexcept { return _manager; }

private:
    LoggerImpl(const std::string& name, int32_t level, const Ref<LogSink>& sink,
               const Ref<LogManager>& manager);

    const Ref<LogSink> _sink;
    const Ref<LogManager> _manager;
    std::atomic<int32_t> _level;
    // Written under the logger's lock and the output lock; read under either.
    std::string _name;
};

// Makes a root logger named `name` at level 5 ("info") over `output` (null: lines are
// discarded) and, when `manager` is not null, registers it there under `name` (which applies a
// matching level setting). The manager keeps its registered loggers until Unregister or Clear.
TARVOS_API void CreateRootLogger(const std::string& name, const Ref<Writer>& output,
                                 const Ref<LogManager>& manager, Ref<Logger>& logger);

}  // namespace Tarvos::Service
