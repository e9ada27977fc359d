#pragma once

#include <cstdint>

#include "tarvos/system/LockableObject.h"

namespace Tarvos::System {

// A lockable object with a condition of its own: Wait and TimedWait are called with the object
// locked and wait on its condition with its own lock (see Condition).
class TARVOS_API WaitableObject : public virtual LockableObject {
public:
    virtual void Wait() = 0;
    virtual bool TimedWait(int64_t timeoutMicros) = 0;
    virtual void Signal() = 0;
    virtual void Broadcast() = 0;
};

}  // namespace Tarvos::System
