// The reader/writer lock of the session pools and the ticket manager.
//
// _state counts the read holds (>= 0) or is kWriter while one thread holds the lock for
// writing. Fast paths change it with one compare-and-swap (taking) or one atomic operation
// (releasing); a thread that cannot take it waits in WaitFor on _changed.
//
// Invariants:
//  1. _state is kWriter only while exactly one thread's record says -1 for this lock; it is n
//     > 0 only while the records of the holding threads add up to n.
//  2. No lost wake-ups: a waiter raises _waiters before it tries _state under _waitMutex, and a
//     releaser changes _state before it reads _waiters (all sequentially consistent), then
//     notifies under _waitMutex. So either the waiter's attempt sees the change, or the
//     releaser sees the waiter and wakes it after it began to wait.
//  3. Readers are admitted whenever no writer holds the lock (reader preference); an upgrading
//     thread keeps its read hold while it waits, so no writer can come in before it.
//  4. Each thread keeps its holds in a per-thread list (a few entries); taking a hold reserves
//     its entry first, so recording it cannot fail once the lock is taken.

#include "tarvos/core/internal/SessionRWLock.h"

#include <vector>

#include "tarvos/core/Panic.h"

namespace Tarvos {

namespace {

// One lock held by the calling thread: its read holds (> 0) or -1 for the write hold.
struct Hold {
    const void* lock;
    int32_t count;
};

// The calling thread's holds; threads hold few locks at once, so a linear search is cheapest.
std::vector<Hold>& Holds() {
    thread_local std::vector<Hold> holds;
    return holds;
}

Hold* FindHold(std::vector<Hold>& holds, const void* lock) noexcept {
    for (Hold& hold : holds) {
        if (hold.lock == lock) {
            return &hold;
        }
    }
    return nullptr;
}

void DropHold(std::vector<Hold>& holds, Hold* hold) noexcept {
    *hold = holds.back();
    holds.pop_back();
}

}  // namespace

SessionRWLock::~SessionRWLock() = default;

template <class Attempt>
void SessionRWLock::WaitFor(Attempt attempt) {
    _waiters.fetch_add(1);
    {
        std::unique_lock<std::mutex> guard(_waitMutex);
        while (!attempt()) {
            _changed.wait(guard);
        }
    }
    _waiters.fetch_sub(1);
}

void SessionRWLock::WakeWaiters() {
    if (_waiters.load() > 0) {
        std::lock_guard<std::mutex> guard(_waitMutex);
        _changed.notify_all();
    }
}

void SessionRWLock::LockRead() {
    std::vector<Hold>& holds = Holds();
    Hold* hold = FindHold(holds, this);
    // A writer asking for a read hold would wait for itself forever.
    TARVOS_VERIFY(hold == nullptr || hold->count > 0);
    if (hold != nullptr) {
        // A nested hold: the lock is read-held, so no writer can be in.
        _state.fetch_add(1, std::memory_order_relaxed);
        hold->count += 1;
        return;
    }
    holds.reserve(holds.size() + 1);
    const auto tryRead = [this] {
        int32_t seen = _state.load(std::memory_order_relaxed);
        while (seen >= 0) {
            if (_state.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    };
    if (!tryRead()) {
        WaitFor(tryRead);
    }
    holds.push_back(Hold{this, 1});
}

void SessionRWLock::LockWrite() {
    std::vector<Hold>& holds = Holds();
    // A thread holding the lock in any mode would wait for itself forever.
    TARVOS_VERIFY(FindHold(holds, this) == nullptr);
    holds.reserve(holds.size() + 1);
    const auto tryWrite = [this] {
        int32_t free = 0;
        return _state.compare_exchange_strong(free, kWriter, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    };
    if (!tryWrite()) {
        WaitFor(tryWrite);
    }
    holds.push_back(Hold{this, -1});
}

void SessionRWLock::Unlock() {
    std::vector<Hold>& holds = Holds();
    Hold* hold = FindHold(holds, this);
    TARVOS_VERIFY(hold != nullptr);
    if (hold->count < 0) {
        DropHold(holds, hold);
        _state.store(0);
        WakeWaiters();
        return;
    }
    if (--hold->count == 0) {
        DropHold(holds, hold);
    }
    const int32_t left = _state.fetch_sub(1) - 1;
    if (left == 0 || (left == 1 && _upgrading.load())) {
        WakeWaiters();
    }
}

bool SessionRWLock::TryUpgrade() {
    std::vector<Hold>& holds = Holds();
    Hold* hold = FindHold(holds, this);
    TARVOS_VERIFY(hold != nullptr && hold->count == 1);
    bool idle = false;
    if (!_upgrading.compare_exchange_strong(idle, true)) {
        return false;
    }
    const auto tryUpgrade = [this] {
        int32_t onlyMine = 1;
        return _state.compare_exchange_strong(onlyMine, kWriter);
    };
    if (!tryUpgrade()) {
        WaitFor(tryUpgrade);
    }
    _upgrading.store(false);
    hold->count = -1;
    return true;
}

void SessionRWLock::Downgrade() {
    std::vector<Hold>& holds = Holds();
    Hold* hold = FindHold(holds, this);
    TARVOS_VERIFY(hold != nullptr && hold->count < 0);
    hold->count = 1;
    _state.store(1);
    WakeWaiters();
}

bool SessionRWLock::IsLockedRead() const {
    const Hold* hold = FindHold(Holds(), this);
    return hold != nullptr && hold->count > 0;
}

bool SessionRWLock::IsLockedWrite() const {
    const Hold* hold = FindHold(Holds(), this);
    return hold != nullptr && hold->count < 0;
}

bool SessionRWLock::IsUnlocked() const {
    return FindHold(Holds(), this) == nullptr;
}

}  // namespace Tarvos
