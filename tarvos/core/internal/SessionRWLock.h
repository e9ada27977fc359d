#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "tarvos/core/Export.h"
#include "tarvos/core/Object.h"
#include "tarvos/system/RWLock.h"

namespace Tarvos {

// The reader/writer lock of the session pools and the ticket manager, as a mix-in: the class
// that derives from it is the RWLockableObject. It keeps the contract of System::RWLock (reader
// preference, nested read holds per thread, TryUpgrade, Downgrade, per-thread queries, misuse
// ends the process) but takes and releases a read hold with one atomic operation on the lock
// each, so that concurrent lookups do not queue behind one another. Waiting uses the standard
// library's primitives and works on any thread; it does not ask a thread pool for a
// replacement worker (holds are short and never span a call out of the owner).
//
// Safe for concurrent use; the queries answer for the calling thread only.
class TARVOS_INTERNAL SessionRWLock : public virtual System::RWLockableObject,
                                      public virtual ObjectImpl {
public:
    SessionRWLock() = default;
    ~SessionRWLock() override;
    // A copy of an object is a new object with its own, free lock.
    SessionRWLock(const SessionRWLock&) : Object(), RWLockableObject(), ObjectImpl() {}
    SessionRWLock& operator=(const SessionRWLock&) { return *this; }

    void LockRead() override;
    void LockWrite() override;
    void Unlock() override;
    bool TryUpgrade() override;
    void Downgrade() override;
    bool IsLockedRead() const override;
    bool IsLockedWrite() const override;
    bool IsUnlocked() const override;

private:
    static constexpr int32_t kWriter = -1;

    // Blocks until `attempt` (which tries to change _state) succeeds.
    template <class Attempt>
    void WaitFor(Attempt attempt);
    // Wakes the waiters, if any, after _state changed in their favour.
    void WakeWaiters();

    // The holds: the number of read holds (>= 0), or kWriter.
    std::atomic<int32_t> _state{0};
    // Threads in WaitFor; the releasing thread takes _waitMutex only when there are any.
    std::atomic<int32_t> _waiters{0};
    // Set while one thread waits to upgrade its read hold.
    std::atomic<bool> _upgrading{false};
    std::mutex _waitMutex;
    std::condition_variable _changed;
};

}  // namespace Tarvos
