#pragma once

#include "tarvos/core/Ref.h"
#include "tarvos/system/LockableObject.h"
#include "tarvos/system/Mutex.h"

namespace Tarvos::System {

// Mix-in that makes a class lockable: it owns a Mutex made by the SystemFactory at construction
// and forwards the LockableObject operations to it. Derive from it (it brings ObjectImpl along).
class TARVOS_API LockableObjectImpl : public virtual LockableObject, public virtual ObjectImpl {
public:
    LockableObjectImpl();
    ~LockableObjectImpl() override;

    void Lock() override { _mutex->Lock(); }
    void Unlock() override { _mutex->Unlock(); }
    bool IsLocked() const override { return _mutex->IsLocked(); }

protected:
    const Ref<Mutex>& GetMutex() const noexcept { return _mutex; }

private:
    const Ref<Mutex> _mutex;
};

}  // namespace Tarvos::System
