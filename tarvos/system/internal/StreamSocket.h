#pragma once

#include <cstdint>
#include <memory>

#include "tarvos/core/Ref.h"
#include "tarvos/system/StreamBase.h"
#include "tarvos/system/ThreadPool.h"
#include "tarvos/system/internal/AsyncIo.h"

namespace Tarvos::System {

// A Stream over a connected, non-blocking stream socket (a TCP socket, or the Unix-domain socket
// behind a named pipe) registered with the calling thread's pool. Asynchronous transfers run as
// IoOperations on the pool's completion queue; blocking transfers poll the socket themselves.
//
// Safe for concurrent use. The descriptor is guarded by the stream's lock; a blocking transfer
// holds it as a user (`_fdUsers`) so that Close never closes a descriptor under a thread that
// still polls it: Close shuts the socket down to wake that thread, and the last user closes it.
class TARVOS_INTERNAL StreamSocket : public StreamBase {
public:
    void Close() override;
    // See SetWriteWaitLimit.
    void SetWriteWaitLimit(int64_t micros);

protected:
    StreamSocket();
    ~StreamSocket() override;

    // Takes ownership of the non-blocking socket `fd` and registers it with the calling thread's
    // pool (WrongThreadException off the pool). Closes `fd` when registering fails.
    void AttachLocked(int fd);
    int GetFdLocked() const noexcept { return _fd; }
    const Ref<ThreadPool>& GetPool() const noexcept { return _pool; }

    bool HasHandleLocked() const override { return _fd >= 0; }
    int32_t TransferBlockingLocked(Direction direction, void* buffer, int32_t length) override;
    void TransferInitiateLocked(Direction direction, void* buffer, int32_t length) override;

    // Hooks for the derived stream, both called with the lock held: an asynchronous transfer is
    // about to be issued on `fd` (`record` names its operation record), and the socket is about
    // to be closed.
    virtual void OnTransferIssued(Direction direction, int fd, const void* record);
    virtual void OnClosingLocked(int fd);

private:
    class Forwarder;
    class Transfer;

    void OnIoCompletion(IoOperation* operation, int64_t bytes, const Exception* error);

    // Guarded by the stream's lock.
    int _fd = -1;
    int _closingFd = -1;  // closed, but still polled by `_fdUsers` blocking transfers
    int _fdUsers = 0;
    int64_t _writeWaitLimit = 0;  // microseconds; 0: none
    Ref<ThreadPool> _pool;
    Ref<IoRegistration> _registration;  // kept after Close: a cancelled one fails new operations
    // Owned; each is pending at most once at a time (the stream's state machine sees to that).
    std::unique_ptr<Transfer> _transfers[2];
    Ref<Forwarder> _forwarder;
};

}  // namespace Tarvos::System
