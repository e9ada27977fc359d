#pragma once

#include "tarvos/core/Ref.h"
#include "tarvos/system/RWLock.h"

namespace Tarvos::System {

// Mix-in that gives a class a reader/writer lock: it owns an RWLock made by the SystemFactory at
// construction and forwards every RWLockableObject operation to it.
class TARVOS_API RWLockableObjectImpl : public virtual RWLockableObject, public virtual ObjectImpl {
public:
    RWLockableObjectImpl();
    ~RWLockableObjectImpl() override;

    void LockRead() override { _lock->LockRead(); }
    void LockWrite() override { _lock->LockWrite(); }
    void Unlock() override { _lock->Unlock(); }
    bool TryUpgrade() override { return _lock->TryUpgrade(); }
    void Downgrade() override { _lock->Downgrade(); }
    bool IsLockedRead() const override { return _lock->IsLockedRead(); }
    bool IsLockedWrite() const override { return _lock->IsLockedWrite(); }
    bool IsUnlocked() const override { return _lock->IsUnlocked(); }

private:
    const Ref<RWLock> _lock;
};

}  // namespace Tarvos::System
