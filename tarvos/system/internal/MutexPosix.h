#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "tarvos/core/Object.h"
#include "tarvos/system/Mutex.h"

namespace Tarvos::System {

// A non-recursive mutex over a default pthread mutex (its uncontended path is the fastest). The
// misuse an error-checking mutex would report is caught here instead, as assertion failures: a
// second Lock by the owner and an Unlock by a thread that does not hold the mutex.
//
// Invariants:
// 1. _owner is the thread pointer of the holder while the mutex is held, else 0; it is written
//    only by the holder (after locking, and cleared before unlocking).
// 2. So a thread that reads its own id in _owner holds the mutex; any other value means it does
//    not, whatever another thread is doing at the same time.
// 3. The held word (0 free, all bits set held) is written only by the holder and read without
//    the mutex by IsLocked.
class MutexPosix final : public Mutex, public ObjectImpl {
public:
    MutexPosix();
    ~MutexPosix() override;

    void Lock() override;
    void Unlock() override;
    bool IsLocked() const override { return _held.load(std::memory_order_relaxed) != 0; }

private:
    pthread_mutex_t _mutex;
    std::atomic<uintptr_t> _owner{0};
    std::atomic<uint32_t> _held{0};
};

}  // namespace Tarvos::System
