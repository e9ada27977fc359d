#pragma once

#include "tarvos/core/Ref.h"

namespace Tarvos::System {

// A timer or pollable registered with a thread pool.
class TARVOS_API ScheduledItem : public virtual Object {
public:
    // Withdraws the item; true when it was still registered, false when it had fired or was
    // cancelled before. Must be called on a thread of the pool that made the item
    // (WrongThreadException otherwise).
    virtual bool Cancel() = 0;
    // An object of the owner's choosing kept with the item (for example the owner itself).
    virtual Ref<Object> GetUserObject() const = 0;
    virtual void SetUserObject(const Ref<Object>& object) = 0;
};

}  // namespace Tarvos::System
