#pragma once

#include <atomic>
#include <cstdint>

#include "tarvos/core/Ref.h"
#include "tarvos/system/LockableObject.h"
#include "tarvos/system/Mutex.h"

namespace Tarvos {

// A lockable object that also records which thread holds it. Lock takes the owned mutex, then
// marks the object locked and records the caller's kernel thread id as owner; Unlock clears the
// mark and releases the mutex. The owner fields are written only by the thread holding the lock.
// Host programs derive from it.
class TARVOS_API ThreadLockableObjectImpl : public virtual System::LockableObject,
                                            public virtual ObjectImpl {
public:
    ThreadLockableObjectImpl();
    ~ThreadLockableObjectImpl() override;

    void Lock() override;
    void Unlock() override;
    bool IsLocked() const override { return _mutex->IsLocked(); }

    // The kernel thread id of the holder, or 0; meaningful to the holder itself.
    int64_t GetOwnerThreadId() const noexcept { return _owner.load(std::memory_order_relaxed); }
    // Whether the calling thread holds the lock.
    bool IsLockedByCurrentThread() const noexcept;

private:
    const Ref<System::Mutex> _mutex;
    // Written only by the thread that holds _mutex.
    std::atomic<bool> _locked{false};
    std::atomic<int64_t> _owner{0};
    uint32_t _lockWord = 0;
};

}  // namespace Tarvos
