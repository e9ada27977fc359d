#pragma once

#include <cstdint>
#include <string_view>

#include "tarvos/core/Export.h"

namespace Tarvos::Service {

class StackTraceManager;

// One traced scope: made on entry, destroyed on exit. While the stack tracer is switched on
// (EnableStackTracer, StackTraceManager.h), entry and exit are logged through the logger
// "StackTracer" at level 5 as
//   "[<thread id>]<indentation>Enter <name>"
//   "[<thread id>]<indentation>Exit <name> (<elapsed> ms)"
// where the thread id is the kernel's, the indentation holds one blank per traced scope open on
// the thread (this one included), and the elapsed time counts whole milliseconds on the
// monotonic clock. Switched off, a scope costs one clock read and logs nothing.
//
// A scope logs its exit exactly when it logged its entry, so the lines of a thread always pair
// up: one entered while the tracer was off stays silent, one entered while it was on logs its
// exit even if the tracer was switched off meanwhile. A scope opened while its thread is writing
// a trace line (from inside the logger's output) is not traced.
//
// The name is kept as a view until it is logged: the text must outlive the scope (a literal
// does). Confined to the thread that made it; scopes nest, they are never moved.
class TARVOS_API StackTracer {
public:
    explicit StackTracer(std::string_view name) noexcept;
    ~StackTracer() {
        if (_manager != nullptr) {
            Exit();
        }
    }

    StackTracer(const StackTracer&) = delete;
    StackTracer& operator=(const StackTracer&) = delete;

    std::string_view GetName() const noexcept { return _name; }
    // Microseconds on the monotonic clock when the scope was entered.
    int64_t GetStartTime() const noexcept { return _start; }

private:
    void Exit() noexcept;

    const std::string_view _name;
    const int64_t _start;
    // The manager that logged the entry (it lives until the process ends) and must log the exit;
    // null when the entry was not logged.
    StackTraceManager* _manager = nullptr;
};

}  // namespace Tarvos::Service

#define TARVOS_TRACE_SCOPE_JOIN2(a, b) a##b
#define TARVOS_TRACE_SCOPE_JOIN(a, b) TARVOS_TRACE_SCOPE_JOIN2(a, b)

// Traces the rest of the enclosing block under `name` (a text that outlives the block).
#define TARVOS_TRACE_SCOPE(name) \
    ::Tarvos::Service::StackTracer TARVOS_TRACE_SCOPE_JOIN(tarvosTracedScope_, __LINE__)(name)
