#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Ref.h"
#include "tarvos/service/Logger.h"

namespace Tarvos::System {

class ThreadPoolPosix;

// Asynchronous I/O on the thread pool's completion queue.
//
// A descriptor is registered once (ThreadPoolPosix::AssociateHandle) and yields an IoRegistration.
// Each operation issued on it (IoRegistration::Start) is an IoOperation owned by the caller (the
// counterpart of an overlapped record): at most one per direction at a time. The descriptor sits
// in the completion queue's epoll set once, edge-triggered for both directions, so issuing an
// operation costs no epoll_ctl. Per direction the registration remembers whether the descriptor
// may be ready (no EAGAIN since the last readiness edge): Start then tries the non-blocking call
// at once, otherwise the operation waits for the next edge. The worker thread that receives an
// edge performs the pending call itself and dispatches the completion (key 1) on its own stack,
// to the registration's IoCompletionHandler. A completion known at once (a send that fits the
// socket buffer, data already there, a cancellation) is posted to the completion queue, never
// delivered inside Start; issued from a worker that is dispatching a completion, it runs on that
// worker right after the current completion returns (ThreadPoolPosix, invariant 10).

// One operation; the caller keeps it alive until its completion was dispatched.
class TARVOS_INTERNAL IoOperation {
public:
    enum class Direction : uint8_t { Read, Write };

    explicit IoOperation(Direction direction) : _direction(direction) {}
    virtual ~IoOperation() = default;

    Direction GetDirection() const noexcept { return _direction; }

    // Performs the non-blocking call on `fd`. Returns true when the operation has finished,
    // setting `bytes` and `error` (an errno value, 0 on success); false when it would block.
    // Called with the registration's lock held: it must not call back into the registration.
    virtual bool Perform(int fd, int64_t& bytes, int& error) = 0;
    // Whether a finished operation proves that the descriptor had nothing more for its direction
    // (a read that got fewer bytes than it asked for), so that the next operation waits for a
    // readiness edge instead of trying a call that would fail with EAGAIN. Must be false
    // whenever more may be there: the edge that announces it has already been consumed.
    virtual bool Drained(int64_t /*bytes*/, int /*error*/) const { return false; }
    // Whether the operation is finished by the knowledge alone that bytes wait to be read (a
    // read that only reports arriving data), without a call; sets `bytes` if so.
    virtual bool CompletesOnReadable(int64_t& /*bytes*/) const { return false; }

private:
    const Direction _direction;
};

// Receives the completions of one registered descriptor, on pool worker threads, with no pool or
// registration lock held.
class TARVOS_INTERNAL IoCompletionHandler : public virtual Object {
public:
    // `error` is null on success, CanceledException for a cancelled operation, otherwise a
    // PosixSystemException with the errno value.
    virtual void OnIoCompletion(IoOperation* operation, int64_t bytes, const Exception* error) = 0;
};

// Receives the end of a non-blocking connect (key 2), on a pool worker thread.
class TARVOS_INTERNAL ConnectCallback : public virtual Object {
public:
    // `error` is null when the connection was established.
    virtual void OnConnectComplete(const Exception* error) = 0;
};

// A descriptor registered with a pool's completion queue. Safe for concurrent use.
class TARVOS_INTERNAL IoRegistration final : public ObjectImpl {
public:
    int GetFd() const noexcept { return _fd; }
    const Ref<IoCompletionHandler>& GetHandler() const noexcept { return _handler; }

    // Issues `operation`. An operation must not already be pending in its direction
    // (assertion). After Cancel, the operation completes with ECANCELED.
    void Start(IoOperation* operation);
    // Withdraws the descriptor from the completion queue; every pending operation completes with
    // ECANCELED (CanceledException). The descriptor itself is not closed. Idempotent.
    void Cancel();
    bool IsCanceled() const;

    // A transfer made on the descriptor by the caller's thread itself (a blocking read or write)
    // bypasses Start, yet what it finds matters to the registration: a read that drained the
    // descriptor means the next operation must wait for an edge, and a read may have taken the
    // bytes whose edge is still on its way to a worker. BeginDirectTransfer before the call
    // returns a token for EndDirectTransfer after it; `drained` is IoOperation::Drained of
    // the call's outcome.
    uint64_t BeginDirectTransfer(IoOperation::Direction direction) const noexcept;
    void EndDirectTransfer(IoOperation::Direction direction, uint64_t token, bool drained);

private:
    friend class ThreadPoolPosix;

    IoRegistration(ThreadPoolPosix* pool, int fd, const Ref<IoCompletionHandler>& handler,
                   uint64_t slotKey);
    ~IoRegistration() override;

    // Called by the worker that received readiness `events` from an epoll_wait that the pool
    // entered at poll epoch `epoch`: performs what became possible.
    void OnReady(uint32_t events, uint64_t epoch);

    // The pool's slot table holds the registration until Cancel or the pool's Shutdown, which
    // breaks this cycle.
    const Ref<ThreadPoolPosix> _pool;
    const int _fd;
    const Ref<IoCompletionHandler> _handler;
    const uint64_t _slotKey;
    mutable std::mutex _mutex;
    // Guarded by _mutex.
    IoOperation* _pending[2] = {nullptr, nullptr};
    // Per direction: no EAGAIN seen since the last readiness edge (a new descriptor may be).
    bool _ready[2] = {true, true};
    bool _canceled = false;
    // The pool's poll epoch after the latest direct read. An event harvested by an epoll_wait
    // entered at a later epoch was seen by the kernel after that read, and no read can have
    // run since while an operation is pending in the read direction (one per direction), so
    // the bytes it announces are still there.
    uint64_t _directReadEpoch = 0;
    // Per direction: readiness edges received; written under _mutex, read by
    // BeginDirectTransfer without it.
    std::atomic<uint64_t> _edges[2] = {0, 0};
};

// Registers `fd` with the calling thread's pool (ThreadPoolPosix::AssociateHandle) and returns
// that pool. On failure the descriptor is closed and the error thrown: WrongThreadException on a
// thread outside every pool, PosixSystemException when the completion queue refuses it.
ThreadPoolPosix* AssociateWithCurrentPool(int fd, const Ref<IoCompletionHandler>& handler,
                                          Ref<IoRegistration>& registration);

// The process-wide "TCP" trace logger that records I/O completions; ThreadPool::Drain drops it.
void SetTcpTraceLogger(const Ref<Service::Logger>& logger);
Ref<Service::Logger> GetTcpTraceLogger();

}  // namespace Tarvos::System
