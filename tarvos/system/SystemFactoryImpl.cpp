#include "tarvos/system/SystemFactoryImpl.h"

#include "tarvos/system/internal/BacktracePosix.h"
#include "tarvos/system/internal/ConditionPosix.h"
#include "tarvos/system/internal/MutexPosix.h"
#include "tarvos/system/internal/RWLockImpl.h"

namespace Tarvos::System {

SystemFactoryImpl::SystemFactoryImpl() = default;
SystemFactoryImpl::~SystemFactoryImpl() = default;

SystemFactory& GetSystemFactory() {
    // Made once and never destroyed: objects created during static destruction still need it.
    static SystemFactory* const factory = [] {
        auto* made = new SystemFactoryImpl();
        made->IncRef();
        return made;
    }();
    return *factory;
}

void SystemFactoryImpl::CreateMutex(Ref<Mutex>& mutex) {
    mutex = new MutexPosix();
}

void SystemFactoryImpl::CreateRWLock(Ref<RWLock>& lock) {
    lock = new RWLockImpl();
}

void SystemFactoryImpl::CreateCondition(Ref<Condition>& condition) {
    condition = new ConditionPosix();
}

void SystemFactoryImpl::CreateBacktrace(Ref<Backtrace>& backtrace) {
    backtrace = new BacktracePosix();
}

}  // namespace Tarvos::System
