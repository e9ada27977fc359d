#include "tarvos/system/internal/RWLockImpl.h"

#include <atomic>
#include <unordered_map>

#include "tarvos/core/Panic.h"
#include "tarvos/system/LockableObject.h"
#include "tarvos/system/SystemFactory.h"

namespace Tarvos::System {

namespace {

std::atomic<uint64_t> g_nextLockId{1};

// The calling thread's holds, by lock identity; lives as long as the thread.
std::unordered_map<uint64_t, int32_t>& ThreadLocks() {
    thread_local std::unordered_map<uint64_t, int32_t> holds;
    return holds;
}

}  // namespace

RWLockImpl::RWLockImpl()
    : _id(g_nextLockId.fetch_add(1, std::memory_order_relaxed)),
      _mutex(NewMutex()),
      _condition(NewCondition()) {}

// Waiting may throw (a thread outside every pool cannot wait: WrongThreadException); the guards
// below then leave the internal mutex unlocked and the lock's state as it was.

void RWLockImpl::LockRead() {
    {
        ScopedLock guard(*_mutex);
        while (_count < 0) {
            _condition->Wait(*_mutex);
        }
        _count += 1;
    }
    ThreadLocks()[_id] += 1;
}

void RWLockImpl::LockWrite() {
    auto& holds = ThreadLocks();
    // A thread holding a read lock would wait for itself for ever; one holding the write lock
    // would corrupt the state.
    TARVOS_VERIFY(holds.find(_id) == holds.end());
    {
        ScopedLock guard(*_mutex);
        while (_count != 0) {
            _condition->Wait(*_mutex);
        }
        _count = -1;
    }
    holds.emplace(_id, -1);
}

void RWLockImpl::Unlock() {
    auto& holds = ThreadLocks();
    auto entry = holds.find(_id);
    TARVOS_VERIFY(entry != holds.end());
    _mutex->Lock();
    if (_count < 1) {
        _count = 0;
        _condition->Broadcast();
    } else {
        _count -= 1;
        if (_count == 1 && _upgrading) {
            _condition->Broadcast();
        } else if (_count == 0) {
            _condition->Signal();
        }
    }
    _mutex->Unlock();
    if (entry->second > 0) {
        entry->second -= 1;
    } else {
        entry->second = 0;
    }
    if (entry->second == 0) {
        holds.erase(entry);
    }
}

bool RWLockImpl::TryUpgrade() {
    auto& holds = ThreadLocks();
    auto entry = holds.find(_id);
    TARVOS_VERIFY(entry != holds.end() && entry->second == 1);
    _mutex->Lock();
    if (_upgrading) {
        _mutex->Unlock();
        return false;
    }
    _upgrading = true;
    try {
        while (_count != 1) {
            _condition->Wait(*_mutex);
        }
    } catch (...) {
        _upgrading = false;
        _mutex->Unlock();
        throw;
    }
    _upgrading = false;
    _count = -1;
    _mutex->Unlock();
    entry->second = -1;
    return true;
}

void RWLockImpl::Downgrade() {
    auto& holds = ThreadLocks();
    auto entry = holds.find(_id);
    TARVOS_VERIFY(entry != holds.end() && entry->second == -1);
    _mutex->Lock();
    _count = 1;
    _condition->Broadcast();
    _mutex->Unlock();
    entry->second = 1;
}

bool RWLockImpl::IsLockedRead() const {
    const auto& holds = ThreadLocks();
    auto entry = holds.find(_id);
    return entry != holds.end() && entry->second > 0;
}

bool RWLockImpl::IsLockedWrite() const {
    const auto& holds = ThreadLocks();
    auto entry = holds.find(_id);
    return entry != holds.end() && entry->second == -1;
}

bool RWLockImpl::IsUnlocked() const {
    return ThreadLocks().count(_id) == 0;
}

}  // namespace Tarvos::System
