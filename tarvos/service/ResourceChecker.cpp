// The resource checker.
//
// States: stopped (_item null) -> started (Start with a positive interval and a limit on: a
// timer is pending in _item) -> stopped (Stop, or the destructor). Each timer firing runs one
// check, which schedules the next while the checker is still started.
//
// Invariants:
//  1. At most one chain of checks exists: every schedule and every Stop bumps _generation, and a
//     firing timer whose generation is not the current one (or that finds _item null) does
//     nothing. So a timer that could not be withdrawn (Stop off the pool's threads, a Start over
//     a running schedule) never measures, logs or schedules.
//  2. A pending timer's task holds a reference to the checker: the checker outlives every timer
//     that could still call it.
//  3. Start, Check and Stop run under the checker's lock; GetCurrentValue, the log lines, the
//     pool's ScheduleTimer and Cancel, and App::StopThreadPool are called under it (none of them
//     calls back into the checker).

#include "tarvos/service/ResourceChecker.h"

#include <exception>

#include "tarvos/core/Exception.h"
#include "tarvos/service/Log.h"
#include "tarvos/system/Task.h"
#include "tarvos/system/Thread.h"

namespace Tarvos::Service {

using System::ScopedLock;

namespace {

constexpr int64_t kMicrosPerSecond = 1000000;

}  // namespace

ResourceChecker::ResourceChecker(const Ref<App>& app, const Ref<Logger>& logger,
                                 int32_t intervalSecs, int32_t softLimit, int32_t hardLimit)
    : _app(app),
      _logger(logger),
      _intervalSecs(intervalSecs),
      _softLimit(softLimit),
      _hardLimit(hardLimit) {}

ResourceChecker::~ResourceChecker() {
    // Reached only when no timer holds the checker (invariant 2), so at most a stale item is
    // left; exceptions must not leave a destructor.
    try {
        Stop();
    } catch (...) {
    }
}

void ResourceChecker::Start() {
    ScopedLock lock(*this);
    const bool schedules = _intervalSecs > 0 && (_softLimit > 0 || _hardLimit > 0);
    Ref<System::ThreadPool> pool;
    if (schedules) {
        // Throws off a pool thread, before anything changed.
        pool = System::Thread::GetCurrent()->GetThreadPool();
    }
    Log(_logger, LogLevel::Info, "Check resources every %1 secs, soft limit %2, hard limit %3.",
        _intervalSecs, _softLimit, _hardLimit);
    if (!schedules) {
        return;
    }
    if (_item) {
        StopLocked();
    }
    _pool = pool;
    ScheduleLocked();
}

void ResourceChecker::Check() {
    ScopedLock lock(*this);
    CheckLocked();
}

void ResourceChecker::Stop() {
    ScopedLock lock(*this);
    if (_item) {
        Log(_logger, LogLevel::Info, "Resource checker stopped.");
        StopLocked();
    }
}

void ResourceChecker::StopLocked() {
    ++_generation;
    WithdrawLocked(_item);
    _item = nullptr;
    _pool = nullptr;
}

void ResourceChecker::WithdrawLocked(const Ref<System::ScheduledItem>& item) {
    // A timer can be withdrawn only on a thread of its pool; elsewhere it fires as a stale
    // generation and does nothing (invariant 1). Withdrawing one that fired already is harmless.
    const System::Thread* current = System::Thread::TryGetCurrent();
    if (item && current != nullptr && current->GetThreadPool() == _pool) {
        item->Cancel();
    }
}

void ResourceChecker::ScheduleLocked() {
    // A direct Check while a timer is pending replaces that timer. Should ScheduleTimer throw,
    // the checker is left stopped rather than waiting for a timer that does not exist.
    WithdrawLocked(_item);
    _item = nullptr;
    const uint64_t generation = ++_generation;
    const Ref<ResourceChecker> self(this);
    const Ref<System::Task> task =
        System::MakeTask([self, generation] { self->OnTimer(generation); });
    Ref<System::ScheduledItem> item;
    _pool->ScheduleTimer(task, static_cast<int64_t>(_intervalSecs) * kMicrosPerSecond, item);
    _item = std::move(item);
}

void ResourceChecker::OnTimer(uint64_t generation) {
    ScopedLock lock(*this);
    if (!_item || generation != _generation) {
        return;
    }
    CheckLocked();
}

void ResourceChecker::CheckLocked() {
    bool measured = false;
    int32_t value = 0;
    try {
        value = GetCurrentValue();
        measured = true;
    } catch (const Throwable& failure) {
        Log(_logger, LogLevel::Error, "Resource check failed: %1", failure.GetMessage());
    } catch (const std::exception& failure) {
        Log(_logger, LogLevel::Error, "Resource check failed: %1", failure.what());
    }
    if (measured) {
        if (_hardLimit > 0 && value > _hardLimit) {
            Log(_logger, LogLevel::Error,
                "Current value %1 exceeds hard limit %2. Shutting down process.", value,
                _hardLimit);
            if (_app) {
                _app->StopThreadPool();
            }
        } else if (_softLimit > 0 && value > _softLimit) {
            Log(_logger, LogLevel::Warning, "Current value %1 exceeds soft limit %2.", value,
                _softLimit);
        } else {
            Log(_logger, LogLevel::Trivia, "Current usage is %1.", value);
        }
    }
    if (_item) {
        ScheduleLocked();
    }
}

}  // namespace Tarvos::Service
