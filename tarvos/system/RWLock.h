#pragma once

#include "tarvos/core/Object.h"

namespace Tarvos::System {

// A reader/writer lock with reader preference and per-thread holds, made by
// SystemFactory::CreateRWLock.
//
// Readers are admitted whenever no writer holds the lock; read holds may nest on one thread.
// A thread holding exactly one read hold may upgrade it (TryUpgrade) and a writer may downgrade
// to one read hold. Misuse is an assertion failure: Unlock without a hold, LockWrite while the
// thread holds the lock in any mode, TryUpgrade with nested read holds, Downgrade without the
// write hold. A thread holding the write lock that calls LockRead blocks for ever.
// Blocking waits are allowed only on threads of the library (see Condition).
//
// Safe for concurrent use; the queries answer for the calling thread only.
class TARVOS_API RWLockableObject : public virtual Object {
public:
    virtual void LockRead() = 0;
    virtual void LockWrite() = 0;
    // Releases one hold of the calling thread (a read hold, or its write hold).
    virtual void Unlock() = 0;
    // Read to write. Returns false at once, still holding the read lock, when another thread is
    // already upgrading; otherwise waits until the caller's read hold is the only one left.
    virtual bool TryUpgrade() = 0;
    // Write to read; waiting readers are admitted.
    virtual void Downgrade() = 0;
    virtual bool IsLockedRead() const = 0;
    virtual bool IsLockedWrite() const = 0;
    virtual bool IsUnlocked() const = 0;
};

class TARVOS_API RWLock : public virtual RWLockableObject {};

// Holds a read lock for the lifetime of the scope.
class ScopedReadLock {
public:
    explicit ScopedReadLock(RWLockableObject& lock) : _lock(lock) { _lock.LockRead(); }
    ~ScopedReadLock() { _lock.Unlock(); }
    ScopedReadLock(const ScopedReadLock&) = delete;
    ScopedReadLock& operator=(const ScopedReadLock&) = delete;

private:
    RWLockableObject& _lock;
};

// Holds the write lock for the lifetime of the scope.
class ScopedWriteLock {
public:
    explicit ScopedWriteLock(RWLockableObject& lock) : _lock(lock) { _lock.LockWrite(); }
    ~ScopedWriteLock() { _lock.Unlock(); }
    ScopedWriteLock(const ScopedWriteLock&) = delete;
    ScopedWriteLock& operator=(const ScopedWriteLock&) = delete;

private:
    RWLockableObject& _lock;
};

}  // namespace Tarvos::System
