#pragma once

#include <cstdint>
#include <functional>

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/system/ScheduledItem.h"
#include "tarvos/system/Task.h"
#include "tarvos/system/ThreadPool.h"

namespace Tarvos {

// The one pending one-shot sweep timer of an expiry index (the session pool's and the ticket
// manager's), on the times of sessions and tickets (microseconds since 1970, system clock).
//
// Each timer this helper schedules carries a generation number; the callback reports it back
// through Fired, so a timer that was replaced but could not be cancelled (cancelling works only
// on a thread of the timer's own pool) fires unheeded: it does no harm as long as every sweep
// calls ScheduleBy for the earliest entry left.
//
// Externally synchronised: the owner calls it under its write lock.
class TARVOS_INTERNAL SessionTimer {
public:
    using TaskMaker = std::function<Ref<System::Task>(uint64_t generation)>;

    explicit SessionTimer(TaskMaker makeTask);
    ~SessionTimer();
    SessionTimer(const SessionTimer&) = delete;
    SessionTimer& operator=(const SessionTimer&) = delete;

    // Uses `pool` from now on (null: no timers); a timer pending on the previous pool is left to
    // fire unheeded.
    void SetThreadPool(const Ref<System::ThreadPool>& pool);
    // The pool, or null when none is set or the one set has begun to shut down (it is then
    // forgotten, with its pending timer, which would never fire).
    const Ref<System::ThreadPool>& GetUsableThreadPool();

    // Called first by the callback of timer `generation`: if it is the pending timer, none is
    // pending any more.
    void Fired(uint64_t generation) noexcept;

    // Makes sure a timer is pending that is due no later than `expiration`: nothing changes when
    // the pending one is; otherwise the pending one is cancelled (or, off the pool's threads,
    // left to fire unheeded) and a new one is scheduled after max(expiration - now, 0). Does
    // nothing without a usable pool. Exceptions of ScheduleTimer reach the caller, with no
    // timer pending then.
    void ScheduleBy(int64_t expiration, int64_t now);

    bool IsPending() const noexcept { return static_cast<bool>(_pending); }
    // The due time of the pending timer; meaningful only while one is pending.
    int64_t GetDueTime() const noexcept { return _due; }

private:
    const TaskMaker _makeTask;
    Ref<System::ThreadPool> _pool;
    Ref<System::ScheduledItem> _pending;
    int64_t _due = 0;
    uint64_t _generation = 0;
};

}  // namespace Tarvos
