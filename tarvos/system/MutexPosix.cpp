#include "tarvos/system/internal/MutexPosix.h"

#include "tarvos/core/Panic.h"
#include "tarvos/system/PosixSystemException.h"

namespace Tarvos::System {

namespace {

// The calling thread's identity: its thread pointer (the address of its control block, what
// pthread_self returns), unique among live threads and never 0. Read inline; a call to
// pthread_self, or a thread_local of this shared library, would double the cost of Lock.
uintptr_t CurrentThread() noexcept {
    return reinterpret_cast<uintptr_t>(__builtin_thread_pointer());
}

}  // namespace

MutexPosix::MutexPosix() {
    const int rc = pthread_mutex_init(&_mutex, nullptr);
    if (rc != 0) {
        throw PosixSystemException(rc, "pthread_mutex_init");
    }
}

MutexPosix::~MutexPosix() {
    pthread_mutex_destroy(&_mutex);
}

void MutexPosix::Lock() {
    const uintptr_t self = CurrentThread();
    // The owner locking again would wait for itself forever.
    TARVOS_VERIFY(_owner.load(std::memory_order_relaxed) != self);
    const int rc = pthread_mutex_lock(&_mutex);
    if (rc != 0) {
        throw PosixSystemException(rc, "pthread_mutex_lock");
    }
    _owner.store(self, std::memory_order_relaxed);
    _held.store(~0u, std::memory_order_relaxed);
}

void MutexPosix::Unlock() {
    // Not held at all, or held by another thread.
    TARVOS_VERIFY(_owner.load(std::memory_order_relaxed) == CurrentThread());
    TARVOS_VERIFY(_held.load(std::memory_order_relaxed) == ~0u);
    _owner.store(0, std::memory_order_relaxed);
    _held.store(0, std::memory_order_relaxed);
    TARVOS_VERIFY(pthread_mutex_unlock(&_mutex) == 0);
}

}  // namespace Tarvos::System
