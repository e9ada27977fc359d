#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/service/Logger.h"
#include "tarvos/system/LockableObjectImpl.h"

namespace Tarvos::Service {

// Switches the stack tracer (StackTracer.h) on or off for the whole process. Switching it on
// (again) makes the logger "StackTracer" from the default logger's family and sends the trace
// lines there from now on; it throws NotInitializedException when no default logger is set, and
// leaves the tracer as it was. Thread-safe.
TARVOS_API void EnableStackTracer(bool on);
TARVOS_API bool IsStackTracerEnabled() noexcept;

// The process's stack-trace manager, made by the first EnableStackTracer(true) and kept until
// the process ends. It holds the logger "StackTracer" and the indentation of every thread that
// has traced scopes open (a thread without open scopes has no entry). Entry and exit lines are
// logged under the manager's lock, so the order of the lines of different threads is the order
// in which they took it. The lock is taken before the logger's output lock, so code that runs
// inside a logger's output (writers and what they call) must not be traced: a scope opened there
// and another thread logging a trace line would each wait for the other's lock. (On a thread that
// is writing a trace line itself, such a scope is skipped.)
//
// Safe for concurrent use.
class TARVOS_API StackTraceManager : public System::LockableObjectImpl {
public:
    StackTraceManager() = default;
    StackTraceManager(const StackTraceManager&) = delete;
    StackTraceManager& operator=(const StackTraceManager&) = delete;

    // Adds one blank to the calling thread's indentation and logs the entry of `name`. False
    // when nothing was done: the thread is writing a trace line already, or memory ran out.
    bool Enter(std::string_view name) noexcept;
    // Logs the exit of `name`, entered at `start` (monotonic microseconds), with the calling
    // thread's indentation, then takes one blank off it. Only for a scope whose Enter was true.
    void Exit(std::string_view name, int64_t start) noexcept;

    // Replaces the logger that the lines go to (null: lines are dropped, indentation is kept).
    void SetLogger(const Ref<Logger>& logger);

    // The manager, or null while the tracer is switched off.
    static StackTraceManager* GetActive() noexcept;

private:
    // Guarded by the manager's lock.
    Ref<Logger> _logger;
    std::unordered_map<int64_t, std::string> _indentations;
};

}  // namespace Tarvos::Service
