#include "tarvos/core/internal/SessionTimer.h"

#include <utility>

#include "tarvos/core/Exception.h"
#include "tarvos/system/Thread.h"

namespace Tarvos {

namespace {

// Whether the calling thread may cancel timers of `pool`.
bool IsThreadOf(const System::ThreadPool* pool) {
    System::Thread* current = System::Thread::TryGetCurrent();
    return current != nullptr && current->GetThreadPool().Get() == pool;
}

}  // namespace

SessionTimer::SessionTimer(TaskMaker makeTask) : _makeTask(std::move(makeTask)) {}

SessionTimer::~SessionTimer() = default;

void SessionTimer::SetThreadPool(const Ref<System::ThreadPool>& pool) {
    _pending.Reset();
    _pool = pool;
}

const Ref<System::ThreadPool>& SessionTimer::GetUsableThreadPool() {
    if (_pool && _pool->IsShuttingDown()) {
        _pending.Reset();
        _pool.Reset();
    }
    return _pool;
}

void SessionTimer::Fired(uint64_t generation) noexcept {
    if (_pending && generation == _generation) {
        _pending.Reset();
    }
}

void SessionTimer::ScheduleBy(int64_t expiration, int64_t now) {
    const Ref<System::ThreadPool>& pool = GetUsableThreadPool();
    if (!pool) {
        return;
    }
    if (_pending) {
        if (_due <= expiration) {
            return;
        }
        if (IsThreadOf(pool.Get())) {
            try {
                _pending->Cancel();
            } catch (const WrongThreadException&) {
                // Left to fire unheeded.
            }
        }
        _pending.Reset();
    }
    const int64_t delay = expiration > now ? expiration - now : 0;
    const uint64_t generation = ++_generation;
    Ref<System::ScheduledItem> item;
    pool->ScheduleTimer(_makeTask(generation), delay, item);
    _pending = std::move(item);
    _due = now + delay;
}

}  // namespace Tarvos
