#pragma once

#include "tarvos/core/Object.h"

namespace Tarvos::System {

// Something that can be locked for exclusive use. Lock and Unlock must pair on one thread.
class TARVOS_API LockableObject : public virtual Object {
public:
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    // Whether any thread holds the lock (not whether the caller does); a snapshot.
    virtual bool IsLocked() const = 0;
};

// Holds a LockableObject for the lifetime of the scope.
class ScopedLock {
public:
    explicit ScopedLock(LockableObject& lockable) : _lockable(lockable) { _lockable.Lock(); }
    ~ScopedLock() { _lockable.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    LockableObject& _lockable;
};

}  // namespace Tarvos::System
