#pragma once

#include "tarvos/system/LockableObject.h"

namespace Tarvos::System {

// A non-recursive mutual-exclusion lock, made by SystemFactory::CreateMutex. Locking it twice on
// one thread, or unlocking it while it is not held, is an assertion failure (PanicExit).
// Safe for concurrent use.
class TARVOS_API Mutex : public virtual LockableObject {};

}  // namespace Tarvos::System
