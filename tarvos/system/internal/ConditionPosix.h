#pragma once

#include <deque>
#include <mutex>

#include "tarvos/core/Object.h"
#include "tarvos/system/Condition.h"
#include "tarvos/system/internal/WaitEvent.h"

namespace Tarvos::System {

// A condition with first-in first-out wake order: every waiting thread queues its own wait event
// (one per thread, kept for the thread's lifetime) and Signal sets the event at the front.
//
// Invariants:
//  1. An event is in _queue only while its thread is inside Wait/TimedWait on this condition.
//  2. Releasing the caller's lock and queueing the event happen under _queueMutex, so no Signal
//     falls between them.
//  3. A signalled event has been removed from _queue by the signaller; a waiter that timed out
//     removes its own event under _queueMutex, after re-checking whether a signal arrived in
//     between (then the wait counts as signalled).
class ConditionPosix final : public Condition, public ObjectImpl {
public:
    void Wait(LockableObject& lock) override;
    bool TimedWait(LockableObject& lock, int64_t timeoutMicros) override;
    void Signal() override;
    void Broadcast() override;

private:
    bool WaitFor(LockableObject& lock, int64_t timeoutMillis);

    std::mutex _queueMutex;
    // Guarded by _queueMutex.
    std::deque<WaitEvent*> _queue;
};

}  // namespace Tarvos::System
