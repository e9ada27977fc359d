#include "tarvos/system/internal/ConditionPosix.h"

#include <algorithm>

#include "tarvos/core/Panic.h"
#include "tarvos/system/internal/ThreadPoolPosix.h"

namespace Tarvos::System {

namespace {

WaitEvent& CurrentThreadEvent() {
    thread_local WaitEvent event;
    return event;
}

}  // namespace

void ConditionPosix::Wait(LockableObject& lock) {
    WaitFor(lock, -1);
}

bool ConditionPosix::TimedWait(LockableObject& lock, int64_t timeoutMicros) {
    // Whole milliseconds, truncated; a negative time-out does not wait.
    return WaitFor(lock, timeoutMicros < 0 ? 0 : timeoutMicros / 1000);
}

bool ConditionPosix::WaitFor(LockableObject& lock, int64_t timeoutMillis) {
    ThreadPoolPosix::PrepareCurrentThreadToWait();
    WaitEvent& event = CurrentThreadEvent();
    {
        std::lock_guard<std::mutex> guard(_queueMutex);
        lock.Unlock();
        _queue.push_back(&event);
    }
    bool signalled = event.Wait(timeoutMillis);
    if (!signalled) {
        std::lock_guard<std::mutex> guard(_queueMutex);
        if (event.IsSet()) {
            signalled = true;
        } else {
            auto it = std::find(_queue.begin(), _queue.end(), &event);
            TARVOS_VERIFY(it != _queue.end());
            _queue.erase(it);
        }
    }
    event.Reset();
    lock.Lock();
    return signalled;
}

void ConditionPosix::Signal() {
    std::lock_guard<std::mutex> guard(_queueMutex);
    if (!_queue.empty()) {
        WaitEvent* front = _queue.front();
        _queue.pop_front();
        front->Set();
    }
}

void ConditionPosix::Broadcast() {
    std::lock_guard<std::mutex> guard(_queueMutex);
    for (WaitEvent* event : _queue) {
        event->Set();
    }
    _queue.clear();
}

}  // namespace Tarvos::System
