#pragma once

#include <cstdint>

#include "tarvos/system/LockableObject.h"

namespace Tarvos::System {

// A condition variable with first-in first-out wake order, made by
// SystemFactory::CreateCondition. The caller of Wait and TimedWait holds `lock` on entry and
// holds it again on return. Waiting is allowed only on threads of the library (threads of a
// thread pool, or threads that entered one); elsewhere it throws WrongThreadException. Before
// blocking, the waiter lets its pool start a replacement worker.
//
// Safe for concurrent use.
class TARVOS_API Condition : public virtual Object {
public:
    // Waits until signalled.
    virtual void Wait(LockableObject& lock) = 0;
    // Waits at most `timeoutMicros` (counted in whole milliseconds, truncated); returns true when
    // signalled, false on time-out.
    virtual bool TimedWait(LockableObject& lock, int64_t timeoutMicros) = 0;
    // Wakes the longest-waiting thread, if any.
    virtual void Signal() = 0;
    // Wakes every waiting thread, in the order in which they began to wait.
    virtual void Broadcast() = 0;
};

}  // namespace Tarvos::System
