#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Ref.h"
#include "tarvos/system/Stream.h"
#include "tarvos/system/WaitableObjectImpl.h"

namespace Tarvos::System {

// The per-direction state machine shared by every Stream implementation (design note in
// StreamBase.cpp). A derived class supplies the handle and the platform transfers; StreamBase
// applies the start rules, delivers completions to callbacks or waiters, and serves the waits.
//
// Safe for concurrent use. The stream's lock is its own mutex (WaitableObjectImpl); derived
// classes guard their handle with it too.
class TARVOS_API StreamBase : public virtual Stream, public WaitableObjectImpl {
public:
    void Write(const void* buffer, int32_t length) override;
    void WriteInitiate(const void* buffer, int32_t length,
                       const Ref<StreamWriteCallback>& callback) override;
    int32_t WaitWrite() override;
    int32_t TimedWaitWrite(int64_t timeoutMicros) override;
    int32_t Read(void* buffer, int32_t length) override;
    void ReadInitiate(void* buffer, int32_t length,
                      const Ref<StreamReadCallback>& callback) override;
    int32_t WaitRead() override;
    int32_t TimedWaitRead(int64_t timeoutMicros) override;
    bool IsWriteResultTaken() override;
    bool IsReadResultTaken() override;

    // The lock records its holder, so that Close can assert that its caller holds it.
    void Lock() override;
    void Unlock() override;
    void Wait() override;
    bool TimedWait(int64_t timeoutMicros) override;

protected:
    enum class Direction : uint8_t { Read = 0, Write = 1 };

    StreamBase();
    ~StreamBase() override;

    // Whether the stream has an open handle. Called with the lock held.
    virtual bool HasHandleLocked() const = 0;
    // Transfers synchronously; called with the lock held while the direction is pending, it may
    // release the lock while it waits and returns or throws with the lock held again. A write
    // moves all `length` bytes. Returns the byte count or throws.
    virtual int32_t TransferBlockingLocked(Direction direction, void* buffer, int32_t length) = 0;
    // Issues an asynchronous transfer; called with the lock held while the direction is pending,
    // and must not wait. Its end must reach DeliverCompletion exactly once, on a pool thread,
    // never inside this call. Throws when the transfer could not be issued (then nothing is
    // delivered).
    virtual void TransferInitiateLocked(Direction direction, void* buffer, int32_t length) = 0;

    // Delivers the end of the transfer issued by TransferInitiateLocked. Called on a pool worker
    // with the lock released. `error` is null on success.
    void DeliverCompletion(Direction direction, int32_t bytes, const Exception* error);

    // Whether the calling thread holds the stream's lock.
    bool IsLockedByCaller() const noexcept;

private:
    struct CompletingState;
    struct Record;

    void Start(Direction direction, void* buffer, int32_t length, bool hasCallbackArgument,
               const Ref<Object>& callback, int32_t* blockingResult);
    int32_t WaitFor(Direction direction, int64_t timeoutMicros);
    bool IsResultTaken(Direction direction);
    // Waits on the stream's condition keeping the holder record right. Lock held.
    void WaitLocked();
    bool TimedWaitLocked(int64_t timeoutMicros);

    std::atomic<int64_t> _holder{0};  // kernel thread id of the lock's holder, 0 when free
    // Guarded by the stream's lock.
    std::unique_ptr<Record[]> _records;
};

}  // namespace Tarvos::System
