#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Ref.h"
#include "tarvos/system/BindingInfo.h"
#include "tarvos/system/LockableObject.h"

namespace Tarvos::System {

class Stream;

// Told when an asynchronous write ended: `error` is null on success, CanceledException when the
// stream was closed under it, otherwise a PosixSystemException with the errno value. Runs on a
// worker thread of the pool with the stream's lock released; the error lives only for the call.
class TARVOS_API StreamWriteCallback : public virtual Object {
public:
    virtual void OnWriteComplete(const Ref<Stream>& stream, const Exception* error) = 0;
};

// Told when an asynchronous read ended, with the bytes transferred (0 at the end of the stream,
// and always 0 for a zero-length read, which only reports that data has arrived). As above.
class TARVOS_API StreamReadCallback : public virtual Object {
public:
    virtual void OnReadComplete(const Ref<Stream>& stream, const Exception* error,
                                int32_t bytes) = 0;
};

// A bidirectional byte stream over a platform handle (a TCP socket or a named pipe) with one
// outstanding read and one outstanding write at a time, from any threads.
//
// Each direction moves idle -> pending (an operation started) -> completed (its result arrived)
// -> idle (its callback returned, or a waiter collected the result). Starting while the direction
// is pending, or while a waiter holds it, throws InProgressException. On a stream without a handle
// (never opened, or closed) every start throws PosixSystemException(ENOTCONN).
//
// The buffer of an operation is owned by the caller and must stay valid until the operation has
// completed (its callback ran or its result was collected).
//
// Safe for concurrent use; the stream is its own lock (LockableObject), which Close requires the
// caller to hold. Waits (WaitRead and friends) must run on a pool thread, because they wait on a
// Condition. Callbacks never run under the stream's lock.
class TARVOS_API Stream : public virtual LockableObject {
public:
    // Writes all `length` bytes (> 0, else InvalidArgumentException) before returning; throws
    // PosixSystemException on failure (EPIPE or ECONNRESET when the peer has gone).
    virtual void Write(const void* buffer, int32_t length) = 0;
    // Starts writing all `length` bytes (> 0). The completion is delivered to `callback` on a pool
    // worker or, when `callback` is null, held until WaitWrite/TimedWaitWrite collect it. A
    // completion is never delivered inside this call.
    virtual void WriteInitiate(const void* buffer, int32_t length,
                               const Ref<StreamWriteCallback>& callback) = 0;
    // Waits without limit for the write in progress and returns its byte count, or throws its
    // error. NotInProgressException when no write was started; InProgressException when another
    // thread already waits for it.
    virtual int32_t WaitWrite() = 0;
    // The same, giving up with TimeoutException after `timeoutMicros` (>= 0, else
    // InvalidArgumentException); the operation itself stays pending.
    virtual int32_t TimedWaitWrite(int64_t timeoutMicros) = 0;
    // Reads up to `length` bytes (>= 0); returns the count, 0 at the end of the stream.
    virtual int32_t Read(void* buffer, int32_t length) = 0;
    // Starts a read of up to `length` bytes (>= 0). A read of length 0 completes with 0 bytes as
    // soon as data is available (or the peer closed), without consuming anything.
    virtual void ReadInitiate(void* buffer, int32_t length,
                              const Ref<StreamReadCallback>& callback) = 0;
    virtual int32_t WaitRead() = 0;
    virtual int32_t TimedWaitRead(int64_t timeoutMicros) = 0;
    // Only inside a write (read) callback, on the thread that runs it: whether a waiter already
    // consumed the result. Elsewhere throws WrongThreadException.
    virtual bool IsWriteResultTaken() = 0;
    virtual bool IsReadResultTaken() = 0;
    // Closes the handle. The caller must hold the stream's lock (assertion); see CloseStream.
    // Operations still pending complete, each exactly once, with CanceledException (through
    // their callbacks or waiters). Closing twice does nothing.
    virtual void Close() = 0;
    // The local and peer endpoints of the requested kind; both null for another kind.
    virtual void GetBindingInfo(BindingKind kind, Ref<BindingInfo>& local,
                                Ref<BindingInfo>& remote) = 0;
};

// Takes the stream's lock, closes it and releases the lock.
inline void CloseStream(Stream& stream) {
    ScopedLock lock(stream);
    stream.Close();
}

// Limits how long a blocking Write on `stream` waits for the peer to take more bytes (0 or
// negative: no limit, the default). Each wait starts afresh, so a slow peer that keeps reading
// is served; one that stops for longer has the stream closed under it, and the Write throws
// TimeoutException after part of its bytes may have gone out. Returns false, changing nothing,
// for a stream that has no such limit (the socket and pipe streams have it).
TARVOS_API bool SetWriteWaitLimit(Stream& stream, int64_t micros);

// Callbacks made from functions, for callers that do not want a class of their own.
template <class F>
class FunctionReadCallback final : public StreamReadCallback, public ObjectImpl {
public:
    explicit FunctionReadCallback(F function) : _function(std::move(function)) {}
    void OnReadComplete(const Ref<Stream>& stream, const Exception* error, int32_t bytes) override {
        _function(stream, error, bytes);
    }

private:
    F _function;
};

template <class F>
class FunctionWriteCallback final : public StreamWriteCallback, public ObjectImpl {
public:
    explicit FunctionWriteCallback(F function) : _function(std::move(function)) {}
    void OnWriteComplete(const Ref<Stream>& stream, const Exception* error) override {
        _function(stream, error);
    }

private:
    F _function;
};

// F: void(const Ref<Stream>&, const Exception*, int32_t).
template <class F>
Ref<StreamReadCallback> MakeReadCallback(F&& function) {
    return Ref<StreamReadCallback>(
        new FunctionReadCallback<std::decay_t<F>>(std::forward<F>(function)));
}

// F: void(const Ref<Stream>&, const Exception*).
template <class F>
Ref<StreamWriteCallback> MakeWriteCallback(F&& function) {
    return Ref<StreamWriteCallback>(
        new FunctionWriteCallback<std::decay_t<F>>(std::forward<F>(function)));
}

}  // namespace Tarvos::System
