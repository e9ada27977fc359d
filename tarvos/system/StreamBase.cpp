// The stream state machine.
//
// Each direction (read, write) has a record with `state`:
//   idle (0)      -> pending (1)    Start: the operation is issued
//   pending       -> completed (2)  DeliverCompletion: its result arrived
//   completed     -> idle           the callback returned (DeliverCompletion), or a waiter
//                                   collected the result (WaitFor)
//   pending       -> idle           a blocking transfer ended, or an asynchronous one could not
//                                   be issued
//
// Invariants:
//  1. All record fields are read and written under the stream's lock; no callback runs under it.
//  2. At most one operation per direction is pending or held for collection: Start refuses while
//     `state` is pending or `waiting` is set.
//  3. Every issued asynchronous transfer is delivered exactly once. Until then the record holds a
//     reference to the stream (`keepAlive`), so a stream dropped by its owner with a transfer in
//     flight lives until that transfer has been delivered.
//  4. A delivery runs its callback at most once and with the lock released. A result of an
//     operation started without callback stays in the record (state completed, `waiting` set)
//     until a waiter collects it; the delivering worker does not stay for it, so results nobody
//     collects cannot hold the pool's threads.
//  5. A thread delivers one completion at a time; its CompletingState sits in a thread-local
//     slot for the length of the delivery, so that the callback can ask IsReadResultTaken.
//  6. A waiter that gives up (TimeoutException) clears `waiting` again: the operation stays
//     pending and can still be waited for or delivered to its callback.
//  7. A blocking transfer marks its direction pending and `waiting` for its whole length, so a
//     concurrent start or wait on that direction throws InProgressException.
//  8. Start issues the transfer under the lock it took for the record (TransferBlockingLocked,
//     TransferInitiateLocked): one lock round trip per operation. A blocking transfer releases
//     the lock only while it waits for its descriptor.

#include "tarvos/system/StreamBase.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "tarvos/core/Panic.h"
#include "tarvos/system/PosixSystemException.h"

namespace Tarvos::System {

namespace {

constexpr uint8_t kIdle = 0;
constexpr uint8_t kPending = 1;
constexpr uint8_t kCompleted = 2;

int64_t CallerThreadId() noexcept {
    thread_local const int64_t id = syscall(SYS_gettid);
    return id;
}

// The errno value a completion error stands for: what a waiter rethrows.
int ErrorCodeOf(const Exception* error) {
    if (error == nullptr) {
        return 0;
    }
    if (dynamic_cast<const CanceledException*>(error) != nullptr) {
        return ECANCELED;
    }
    if (const auto* system = dynamic_cast<const SystemException*>(error)) {
        return system->GetErrorCode() != 0 ? system->GetErrorCode() : EIO;
    }
    return EIO;
}

[[noreturn]] void ThrowErrorCode(int error) {
    if (error == ECANCELED) {
        throw CanceledException();
    }
    throw PosixSystemException(error);
}

int64_t SteadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct StreamBase::CompletingState {
    explicit CompletingState(Direction d) : direction(d) {}
    const Direction direction;
    bool taken = false;  // guarded by the stream's lock
};

namespace {
// The completion the calling thread is delivering (invariant 5).
thread_local void* t_completing = nullptr;
}  // namespace

struct StreamBase::Record {
    uint8_t state = kIdle;
    int32_t bytes = 0;
    int error = 0;
    std::shared_ptr<CompletingState> completing;
    bool waiting = false;
    bool noCallback = false;
    Ref<Object> callback;
    Ref<StreamBase> keepAlive;
};

StreamBase::StreamBase() : _records(new Record[2]) {}

StreamBase::~StreamBase() = default;

void StreamBase::Lock() {
    WaitableObjectImpl::Lock();
    _holder.store(CallerThreadId(), std::memory_order_relaxed);
}

void StreamBase::Unlock() {
    _holder.store(0, std::memory_order_relaxed);
    WaitableObjectImpl::Unlock();
}

void StreamBase::Wait() {
    WaitLocked();
}

bool StreamBase::TimedWait(int64_t timeoutMicros) {
    return TimedWaitLocked(timeoutMicros);
}

void StreamBase::WaitLocked() {
    _holder.store(0, std::memory_order_relaxed);
    try {
        WaitableObjectImpl::Wait();
    } catch (...) {
        _holder.store(CallerThreadId(), std::memory_order_relaxed);
        throw;
    }
    _holder.store(CallerThreadId(), std::memory_order_relaxed);
}

bool StreamBase::TimedWaitLocked(int64_t timeoutMicros) {
    _holder.store(0, std::memory_order_relaxed);
    bool signalled = false;
    try {
        signalled = WaitableObjectImpl::TimedWait(timeoutMicros);
    } catch (...) {
        _holder.store(CallerThreadId(), std::memory_order_relaxed);
        throw;
    }
    _holder.store(CallerThreadId(), std::memory_order_relaxed);
    return signalled;
}

bool StreamBase::IsLockedByCaller() const noexcept {
    return _holder.load(std::memory_order_relaxed) == CallerThreadId();
}

void StreamBase::Write(const void* buffer, int32_t length) {
    int32_t result = 0;
    Start(Direction::Write, const_cast<void*>(buffer), length, false, nullptr, &result);
}

void StreamBase::WriteInitiate(const void* buffer, int32_t length,
                               const Ref<StreamWriteCallback>& callback) {
    Start(Direction::Write, const_cast<void*>(buffer), length, true, Ref<Object>(callback),
          nullptr);
}

int32_t StreamBase::Read(void* buffer, int32_t length) {
    int32_t result = 0;
    Start(Direction::Read, buffer, length, false, nullptr, &result);
    return result;
}

void StreamBase::ReadInitiate(void* buffer, int32_t length,
                              const Ref<StreamReadCallback>& callback) {
    Start(Direction::Read, buffer, length, true, Ref<Object>(callback), nullptr);
}

void StreamBase::Start(Direction direction, void* buffer, int32_t length, bool hasCallbackArgument,
                       const Ref<Object>& callback, int32_t* blockingResult) {
    Record& record = _records[static_cast<int>(direction)];
    Lock();
    if (!HasHandleLocked()) {
        Unlock();
        throw PosixSystemException(ENOTCONN);
    }
    if (record.state == kPending || record.waiting) {
        Unlock();
        throw InProgressException();
    }
    if (direction == Direction::Write && length == 0) {
        Unlock();
        throw InvalidArgumentException("a write needs at least one byte");
    }
    if (length < 0 || (length > 0 && buffer == nullptr)) {
        Unlock();
        throw InvalidArgumentException("negative length or null buffer");
    }
    record.state = kPending;
    record.noCallback = hasCallbackArgument && !callback;
    if (!hasCallbackArgument) {
        // Blocking: the transfer itself is the waiter of its direction (invariant 7).
        record.waiting = true;
        int32_t bytes = 0;
        try {
            bytes = TransferBlockingLocked(direction, buffer, length);
        } catch (...) {
            record.state = kIdle;
            record.waiting = false;
            Unlock();
            throw;
        }
        record.state = kIdle;
        record.waiting = false;
        Unlock();
        *blockingResult = bytes;
        return;
    }
    record.callback = callback;
    record.keepAlive = this;
    try {
        TransferInitiateLocked(direction, buffer, length);
    } catch (...) {
        Ref<StreamBase> keepAlive;
        Ref<Object> dropped;
        record.state = kIdle;
        dropped = std::move(record.callback);
        keepAlive = std::move(record.keepAlive);
        Unlock();
        throw;
    }
    Unlock();
}

void StreamBase::DeliverCompletion(Direction direction, int32_t bytes, const Exception* error) {
    Record& record = _records[static_cast<int>(direction)];
    auto completing = std::make_shared<CompletingState>(direction);
    Ref<StreamBase> self;
    Ref<Object> callback;
    Lock();
    TARVOS_VERIFY(record.state == kPending);
    self = std::move(record.keepAlive);
    record.error = ErrorCodeOf(error);
    record.bytes = bytes;
    record.state = kCompleted;
    record.completing = completing;
    TARVOS_VERIFY(t_completing == nullptr);
    t_completing = completing.get();
    if (record.waiting) {
        Broadcast();
    }
    if (record.noCallback) {
        // Held for collection (invariant 4).
        record.waiting = true;
        t_completing = nullptr;
        Unlock();
        return;
    }
    callback = std::move(record.callback);
    Unlock();
    // Steps after the callback, also when it throws: wait for a waiter that is collecting this
    // result, then return the direction to idle unless a new operation began meanwhile.
    struct Finish {
        StreamBase* stream;
        Record& record;
        const std::shared_ptr<CompletingState>& completing;
        ~Finish() {
            stream->Lock();
            while (record.state == kCompleted && record.completing == completing &&
                   record.waiting) {
                stream->WaitLocked();
            }
            if (record.completing == completing) {
                record.completing.reset();
                if (record.state == kCompleted) {
                    record.state = kIdle;
                    record.error = 0;
                }
            }
            t_completing = nullptr;
            stream->Unlock();
        }
    };
    {
        Finish finish{this, record, completing};
        const Ref<Stream> stream(static_cast<Stream*>(this));
        try {
            if (direction == Direction::Read) {
                auto* read = dynamic_cast<StreamReadCallback*>(callback.Get());
                TARVOS_VERIFY(read != nullptr);
                read->OnReadComplete(stream, error, bytes);
            } else {
                auto* write = dynamic_cast<StreamWriteCallback*>(callback.Get());
                TARVOS_VERIFY(write != nullptr);
                write->OnWriteComplete(stream, error);
            }
        } catch (...) {
            callback.Reset();
            throw;
        }
        callback.Reset();
    }
}

int32_t StreamBase::WaitRead() {
    return WaitFor(Direction::Read, -1);
}

int32_t StreamBase::WaitWrite() {
    return WaitFor(Direction::Write, -1);
}

int32_t StreamBase::TimedWaitRead(int64_t timeoutMicros) {
    if (timeoutMicros < 0) {
        throw InvalidArgumentException("negative time-out");
    }
    return WaitFor(Direction::Read, timeoutMicros);
}

int32_t StreamBase::TimedWaitWrite(int64_t timeoutMicros) {
    if (timeoutMicros < 0) {
        throw InvalidArgumentException("negative time-out");
    }
    return WaitFor(Direction::Write, timeoutMicros);
}

int32_t StreamBase::WaitFor(Direction direction, int64_t timeoutMicros) {
    Record& record = _records[static_cast<int>(direction)];
    Lock();
    if (record.state == kIdle) {
        Unlock();
        throw NotInProgressException();
    }
    if (record.waiting && !record.noCallback) {
        Unlock();
        throw InProgressException();
    }
    record.waiting = true;
    if (record.state == kPending) {
        try {
            if (timeoutMicros < 0) {
                while (record.state == kPending) {
                    WaitLocked();
                }
            } else {
                int64_t remaining = timeoutMicros;
                while (record.state == kPending) {
                    if (remaining <= 0) {
                        throw TimeoutException();
                    }
                    const int64_t before = SteadyMicros();
                    // The condition counts whole milliseconds: round up so that a short limit
                    // still sleeps instead of spinning.
                    TimedWaitLocked((remaining + 999) / 1000 * 1000);
                    remaining -= SteadyMicros() - before;
                }
            }
        } catch (...) {
            // Giving up leaves the operation pending and waitable again (invariant 6).
            record.waiting = false;
            Broadcast();
            Unlock();
            throw;
        }
    }
    record.waiting = false;
    Broadcast();
    TARVOS_VERIFY(record.state == kCompleted && record.completing);
    record.completing->taken = true;
    const int error = record.error;
    const int32_t bytes = record.bytes;
    record.error = 0;
    record.state = kIdle;
    record.completing.reset();
    Unlock();
    if (error != 0) {
        ThrowErrorCode(error);
    }
    return bytes;
}

bool StreamBase::IsResultTaken(Direction direction) {
    auto* completing = static_cast<CompletingState*>(t_completing);
    if (completing == nullptr || completing->direction != direction) {
        throw WrongThreadException();
    }
    Lock();
    const bool taken = completing->taken;
    Unlock();
    return taken;
}

bool StreamBase::IsReadResultTaken() {
    return IsResultTaken(Direction::Read);
}

bool StreamBase::IsWriteResultTaken() {
    return IsResultTaken(Direction::Write);
}

}  // namespace Tarvos::System
