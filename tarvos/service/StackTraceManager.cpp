// The stack-trace manager.
//
// States: never on (no manager) -> on (g_activeStackTraceManager points at the manager) <-> off
// (the pointer is null, the manager stays). EnableStackTracer moves between them; the manager is
// made by the first switch-on and never destroyed, so traced scopes may hold a plain pointer to
// it and scopes closed during static destruction still find it.
//
// Invariants:
//   1. _indentations maps a thread to one blank per traced scope of that thread whose entry was
//      logged and whose exit was not yet; a thread with none has no entry, so the map does not
//      grow with threads that came and went.
//   2. Every Enter that returned true is followed by exactly one Exit on the same thread
//      (StackTracer keeps the manager that logged its entry), so entry and exit lines pair up
//      and carry the same indentation.
//   3. Lines are logged under the manager's lock, which is taken before the logger's output
//      lock and never while the thread writes a trace line already (t_writingTrace), so a traced
//      scope inside the logger's output neither recurses into the lock nor logs.

#include "tarvos/service/StackTraceManager.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>

#include "tarvos/core/Exception.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/internal/StackTraceManagerState.h"

namespace Tarvos::Service {

namespace internal {
std::atomic<StackTraceManager*> g_activeStackTraceManager{nullptr};
}  // namespace internal

namespace {

constexpr char kLoggerName[] = "StackTracer";

thread_local bool t_writingTrace = false;

int64_t KernelThreadId() noexcept {
    thread_local const int64_t id = ::syscall(SYS_gettid);
    return id;
}

// Marks the calling thread as writing a trace line for the lifetime of the scope.
class WritingTrace {
public:
    WritingTrace() noexcept : _outer(t_writingTrace) { t_writingTrace = true; }
    ~WritingTrace() { t_writingTrace = _outer; }
    WritingTrace(const WritingTrace&) = delete;
    WritingTrace& operator=(const WritingTrace&) = delete;

private:
    const bool _outer;
};

// Serialises EnableStackTracer; the manager is made under it.
std::mutex g_enableMutex;
StackTraceManager* g_manager = nullptr;

}  // namespace

bool StackTraceManager::Enter(std::string_view name) noexcept {
    if (t_writingTrace) {
        return false;
    }
    WritingTrace writing;
    const int64_t threadId = KernelThreadId();
    try {
        System::ScopedLock lock(*this);
        std::string& indentation = _indentations[threadId];
        indentation += ' ';
        try {
            Log(_logger, LogLevel::Info, "[%1]%2Enter %3", threadId, indentation, name);
        } catch (...) {
            // The indentation is taken: the exit must still be logged and give it back.
        }
        return true;
    } catch (...) {
        return false;
    }
}

void StackTraceManager::Exit(std::string_view name, int64_t start) noexcept {
    // The scope ends now, not when the lock is free.
    const int64_t elapsedMillis = (internal::MonotonicMicros() - start) / 1000;
    WritingTrace writing;
    const int64_t threadId = KernelThreadId();
    System::ScopedLock lock(*this);
    auto it = _indentations.find(threadId);
    const std::string_view indentation =
        it != _indentations.end() ? std::string_view(it->second) : std::string_view();
    try {
        Log(_logger, LogLevel::Info, "[%1]%2Exit %3 (%4 ms)", threadId, indentation, name,
            elapsedMillis);
    } catch (...) {
        // Logging does not fail its caller; the indentation is given back all the same.
    }
    if (it != _indentations.end()) {
        it->second.pop_back();
        if (it->second.empty()) {
            _indentations.erase(it);
        }
    }
}

void StackTraceManager::SetLogger(const Ref<Logger>& logger) {
    Ref<Logger> previous;
    {
        System::ScopedLock lock(*this);
        previous = _logger;
        _logger = logger;
    }
    // The old logger is released outside the lock: its destruction may log.
}

StackTraceManager* StackTraceManager::GetActive() noexcept {
    return internal::g_activeStackTraceManager.load(std::memory_order_acquire);
}

void EnableStackTracer(bool on) {
    std::lock_guard<std::mutex> guard(g_enableMutex);
    if (!on) {
        internal::g_activeStackTraceManager.store(nullptr, std::memory_order_release);
        return;
    }
    Ref<Logger> logger;
    GetDefaultLogger()->CreateLogger(kLoggerName, logger);
    if (g_manager == nullptr) {
        // One reference that is never dropped keeps the manager for the rest of the process.
        auto* manager = new StackTraceManager();
        manager->IncRef();
        g_manager = manager;
    }
    g_manager->SetLogger(logger);
    internal::g_activeStackTraceManager.store(g_manager, std::memory_order_release);
}

bool IsStackTracerEnabled() noexcept {
    return internal::g_activeStackTraceManager.load(std::memory_order_acquire) != nullptr;
}

}  // namespace Tarvos::Service
