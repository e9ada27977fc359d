#include <sys/syscall.h>
#include <unistd.h>

#include "tarvos/system/LockableObjectImpl.h"
#include "tarvos/system/RWLockableObjectImpl.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/ThreadLockableObjectImpl.h"
#include "tarvos/system/WaitableObjectImpl.h"

namespace Tarvos::System {

LockableObjectImpl::LockableObjectImpl() : _mutex(NewMutex()) {}
LockableObjectImpl::~LockableObjectImpl() = default;

RWLockableObjectImpl::RWLockableObjectImpl() : _lock(NewRWLock()) {}
RWLockableObjectImpl::~RWLockableObjectImpl() = default;

WaitableObjectImpl::WaitableObjectImpl() : _condition(NewCondition()) {}
WaitableObjectImpl::~WaitableObjectImpl() = default;

}  // namespace Tarvos::System

namespace Tarvos {

ThreadLockableObjectImpl::ThreadLockableObjectImpl() : _mutex(System::NewMutex()) {}
ThreadLockableObjectImpl::~ThreadLockableObjectImpl() = default;

void ThreadLockableObjectImpl::Lock() {
    _mutex->Lock();
    _locked.store(true, std::memory_order_relaxed);
    thread_local const int64_t self = syscall(SYS_gettid);
    _owner.store(self, std::memory_order_relaxed);
    _lockWord = 0;
}

void ThreadLockableObjectImpl::Unlock() {
    _locked.store(false, std::memory_order_relaxed);
    _owner.store(0, std::memory_order_relaxed);
    _mutex->Unlock();
}

bool ThreadLockableObjectImpl::IsLockedByCurrentThread() const noexcept {
    thread_local const int64_t self = syscall(SYS_gettid);
    return _locked.load(std::memory_order_relaxed) &&
           _owner.load(std::memory_order_relaxed) == self;
}

}  // namespace Tarvos
