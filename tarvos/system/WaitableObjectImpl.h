#pragma once

#include "tarvos/core/Ref.h"
#include "tarvos/system/Condition.h"
#include "tarvos/system/LockableObjectImpl.h"
#include "tarvos/system/WaitableObject.h"

namespace Tarvos::System {

// Mix-in for classes that lock, test a state and wait: a LockableObjectImpl plus a Condition made
// by the SystemFactory, waited on with the object's own mutex.
class TARVOS_API WaitableObjectImpl : public virtual WaitableObject, public LockableObjectImpl {
public:
    WaitableObjectImpl();
    ~WaitableObjectImpl() override;

    void Wait() override { _condition->Wait(*GetMutex()); }
    bool TimedWait(int64_t timeoutMicros) override {
        return _condition->TimedWait(*GetMutex(), timeoutMicros);
    }
    void Signal() override { _condition->Signal(); }
    void Broadcast() override { _condition->Broadcast(); }

private:
    const Ref<Condition> _condition;
};

}  // namespace Tarvos::System
