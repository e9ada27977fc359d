#include "tarvos/system/internal/ThreadPosix.h"

#include <time.h>

#include <cerrno>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Panic.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/internal/ThreadPoolPosix.h"

namespace Tarvos::System {

namespace {

thread_local ThreadPosix* t_currentThread = nullptr;

}  // namespace

Ref<Thread> Thread::GetCurrent() {
    ThreadPosix* current = t_currentThread;
    if (current == nullptr) {
        throw WrongThreadException();
    }
    return Ref<Thread>(current);
}

Thread* Thread::TryGetCurrent() noexcept {
    return t_currentThread;
}

ThreadPosix* ThreadPosix::Current() noexcept {
    return t_currentThread;
}

void ThreadPosix::SetCurrent(ThreadPosix* thread) noexcept {
    t_currentThread = thread;
}

ThreadPosix::ThreadPosix(const Ref<ThreadPoolPosix>& pool, bool startedByPool)
    : _pool(pool), _startedByPool(startedByPool) {}

ThreadPosix::~ThreadPosix() = default;

Ref<ThreadPool> ThreadPosix::GetThreadPool() const {
    return Ref<ThreadPool>(_pool.Get());
}

void ThreadPosix::Sleep(int64_t micros) {
    const int64_t millis = micros / 1000;
    if (millis <= 0) {
        return;
    }
    timespec left{static_cast<time_t>(millis / 1000), static_cast<long>(millis % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void ThreadPosix::Join() {
    // A thread joining itself would wait for ever.
    TARVOS_VERIFY(t_currentThread != this);
    _ended.Wait(-1);
}

void ThreadPosix::TimedJoin(int64_t micros) {
    TARVOS_VERIFY(t_currentThread != this);
    if (!_ended.Wait(micros < 0 ? 0 : micros / 1000)) {
        throw PosixSystemException(ETIMEDOUT, "TimedJoin");
    }
}

Ref<Object> ThreadPosix::GetThreadLocal(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= _locals.size()) {
        return nullptr;
    }
    return _locals[static_cast<size_t>(index)];
}

void ThreadPosix::SetThreadLocal(int index, const Ref<Object>& value) {
    TARVOS_VERIFY(index >= 0 && index <= kMaxThreadLocalIndex);
    if (static_cast<size_t>(index) >= _locals.size()) {
        _locals.resize(static_cast<size_t>(index) + 1);
    }
    _locals[static_cast<size_t>(index)] = value;
}

}  // namespace Tarvos::System
