#pragma once

#include <cstdint>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"
#include "tarvos/system/Condition.h"
#include "tarvos/system/Mutex.h"
#include "tarvos/system/RWLock.h"

namespace Tarvos::System {

// Reader/writer lock with reader preference, built on a Mutex and a Condition.
//
// Shared state, guarded by _mutex:
//   _count > 0   that many read holds (all threads, nested holds counted each time)
//   _count == 0  free
//   _count == -1 held for writing
//   _upgrading   one thread waits inside TryUpgrade for the other readers to leave
// Per-thread state: each thread keeps a map from lock identity to its own holds (a positive
// number of read holds, or -1 for the write hold); an entry exists only while the thread holds
// something. The identity is a process-unique number, never an address, so a lock made at the
// address of a destroyed one does not inherit stale entries.
//
// Invariants:
//  1. The sum of the positive per-thread entries equals _count when _count > 0.
//  2. Exactly one thread has the entry -1 when _count == -1.
//  3. Whenever the count drops to a value a waiter waits for (0 for writers, 1 for the
//     upgrader), every waiter that may proceed is woken: Broadcast when an upgrade is pending,
//     so that the upgrader is woken even when a writer stands before it in the queue.
class RWLockImpl final : public RWLock, public ObjectImpl {
public:
    RWLockImpl();

    void LockRead() override;
    void LockWrite() override;
    void Unlock() override;
    bool TryUpgrade() override;
    void Downgrade() override;
    bool IsLockedRead() const override;
    bool IsLockedWrite() const override;
    bool IsUnlocked() const override;

private:
    const uint64_t _id;
    const Ref<Mutex> _mutex;
    const Ref<Condition> _condition;
    // Guarded by _mutex.
    int32_t _count = 0;
    bool _upgrading = false;
};

}  // namespace Tarvos::System
