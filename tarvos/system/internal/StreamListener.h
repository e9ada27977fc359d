#pragma once

#include <memory>

#include "tarvos/core/Ref.h"
#include "tarvos/service/Logger.h"
#include "tarvos/system/LockableObjectImpl.h"
#include "tarvos/system/StreamServer.h"
#include "tarvos/system/ThreadPool.h"
#include "tarvos/system/internal/AsyncIo.h"

namespace Tarvos::System {

// The accepting machinery shared by the TCP server socket and the named-pipe server: a
// listening, non-blocking socket registered with the calling thread's pool, one asynchronous
// accept at a time, and blocking accepts that poll the socket.
//
// States: not listening (no descriptor) -> listening (AttachListenerLocked) -> closed (Close).
// Invariants:
//  1. `_pendingCallback` is set exactly while an asynchronous accept is outstanding; the accept
//     completes once, to that callback, and holds the server alive until then.
//  2. A descriptor shortage (EMFILE, ENFILE, ENOBUFS, ENOMEM) does not complete the accept: it
//     is logged and the accept re-issued from a pool timer, so the server neither spins nor
//     loses its accept.
//  3. No lock of the server is held while a callback runs.
//
// Safe for concurrent use; state is guarded by the server's lock.
class TARVOS_INTERNAL StreamListener : public virtual StreamServer, public LockableObjectImpl {
public:
    void Accept(Ref<Stream>& stream) override;
    void Accept(const Ref<AcceptCallback>& callback) override;
    void Close() override;

protected:
    StreamListener();
    ~StreamListener() override;

    // Takes the listening non-blocking socket `fd` and registers it with the calling thread's
    // pool (WrongThreadException off the pool); closes `fd` on failure.
    void AttachListenerLocked(int fd);
    bool IsListeningLocked() const noexcept { return _fd >= 0; }
    int GetFdLocked() const noexcept { return _fd; }

    // Wraps an accepted non-blocking socket into a stream (runs on a pool thread, no lock held);
    // owns `fd` from the call on.
    virtual void WrapAccepted(int fd, Ref<Stream>& stream) = 0;
    // Called with the lock held just before the listening socket is closed.
    virtual void OnClosingLocked(int fd);
    // Where descriptor shortages are logged; may be null.
    virtual Ref<Service::Logger> GetListenerLogger() = 0;

private:
    class Forwarder;
    class AcceptOperation;

    // With the lock held: throws InProgressException while an asynchronous accept is pending,
    // PosixSystemException(ENOTCONN) when not listening, releasing the lock before it throws.
    void CheckAcceptAllowedLocked();
    void OnAccepted(int64_t fd, const Exception* error);
    void RetryLater(int error);
    void Reissue();

    // Guarded by the server's lock.
    int _fd = -1;
    bool _closed = false;
    Ref<ThreadPool> _pool;
    Ref<IoRegistration> _registration;
    Ref<AcceptCallback> _pendingCallback;
    Ref<StreamListener> _keepAlive;
    std::unique_ptr<AcceptOperation> _operation;
    Ref<Forwarder> _forwarder;
};

}  // namespace Tarvos::System
