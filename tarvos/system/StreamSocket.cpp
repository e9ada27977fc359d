#include "tarvos/system/internal/StreamSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "tarvos/core/Panic.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/internal/ThreadPoolPosix.h"

namespace Tarvos::System {

// Receives the registration's completions. It points at its stream without a reference: a
// transfer in flight holds the stream (StreamBase invariant 3), and nothing else is delivered.
class StreamSocket::Forwarder final : public IoCompletionHandler, public ObjectImpl {
public:
    explicit Forwarder(StreamSocket* owner) : _owner(owner) {}
    void OnIoCompletion(IoOperation* operation, int64_t bytes, const Exception* error) override {
        _owner->OnIoCompletion(operation, bytes, error);
    }

private:
    StreamSocket* const _owner;
};

// One direction's transfer. A write moves every byte before it completes; a read of length 0
// reports arriving data without consuming it: it completes on a readiness event that proves the
// bytes are there (IoRegistration::OnReady), else it peeks one byte.
class StreamSocket::Transfer final : public IoOperation {
public:
    explicit Transfer(Direction direction) : IoOperation(direction) {}

    void Prepare(void* buffer, int32_t length) {
        _buffer = static_cast<char*>(buffer);
        _length = length;
        _done = 0;
    }

    bool Perform(int fd, int64_t& bytes, int& error) override {
        error = Step(fd);
        if (error == EAGAIN) {
            return false;
        }
        bytes = _done;
        return true;
    }

    // A stream socket's recv returns less than asked only when its receive queue ran empty; the
    // end of the stream (0) and errors repeat for the next read, so they leave it ready.
    bool Drained(int64_t bytes, int error) const override {
        return GetDirection() == Direction::Read && error == 0 && bytes > 0 && bytes < _length;
    }

    bool CompletesOnReadable(int64_t& bytes) const override {
        bytes = 0;
        return GetDirection() == Direction::Read && _length == 0;
    }

    // Moves what the socket takes now: 0 when finished, EAGAIN when it would block, else the
    // errno value of the failure.
    int Step(int fd) {
        if (GetDirection() == Direction::Read) {
            for (;;) {
                char peek;
                const ssize_t got =
                    _length == 0 ? recv(fd, &peek, 1, MSG_PEEK) : recv(fd, _buffer, _length, 0);
                if (got >= 0) {
                    _done = _length == 0 ? 0 : static_cast<int32_t>(got);
                    return 0;
                }
                if (errno == EINTR) {
                    continue;
                }
                return errno == EWOULDBLOCK ? EAGAIN : errno;
            }
        }
        while (_done < _length) {
            const ssize_t sent = send(fd, _buffer + _done, _length - _done, MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno == EWOULDBLOCK ? EAGAIN : errno;
            }
            _done += static_cast<int32_t>(sent);
        }
        return 0;
    }

    int32_t Done() const noexcept { return _done; }

private:
    char* _buffer = nullptr;
    int32_t _length = 0;
    int32_t _done = 0;
};

StreamSocket::StreamSocket() : _forwarder(new Forwarder(this)) {
    _transfers[0] = std::make_unique<Transfer>(IoOperation::Direction::Read);
    _transfers[1] = std::make_unique<Transfer>(IoOperation::Direction::Write);
}

StreamSocket::~StreamSocket() {
    // The last reference is gone: no transfer is in flight and no thread uses the descriptor.
    if (_registration) {
        _registration->Cancel();
    }
    if (_fd >= 0) {
        close(_fd);
    }
}

void StreamSocket::AttachLocked(int fd) {
    _pool = AssociateWithCurrentPool(fd, _forwarder, _registration);
    _fd = fd;
}

void StreamSocket::OnTransferIssued(Direction, int, const void*) {}

void StreamSocket::OnClosingLocked(int) {}

void StreamSocket::Close() {
    TARVOS_VERIFY(IsLockedByCaller());
    if (_fd < 0) {
        return;
    }
    // Pending asynchronous transfers complete with ECANCELED through the completion queue. The
    // registration goes first: a shutdown would otherwise let a worker fail them with EPIPE.
    _registration->Cancel();
    OnClosingLocked(_fd);
    if (_fdUsers == 0) {
        close(_fd);
    } else {
        shutdown(_fd, SHUT_RDWR);
        _closingFd = _fd;
    }
    _fd = -1;
}

int32_t StreamSocket::TransferBlockingLocked(Direction direction, void* buffer, int32_t length) {
    const IoOperation::Direction ioDirection =
        direction == Direction::Read ? IoOperation::Direction::Read : IoOperation::Direction::Write;
    const int fd = _fd;
    if (fd < 0) {
        throw CanceledException();
    }
    IoRegistration& registration = *_registration;
    Transfer transfer(ioDirection);
    transfer.Prepare(buffer, length);
    const uint64_t token = registration.BeginDirectTransfer(ioDirection);
    // The first attempt runs under the lock: the call does not wait, and most transfers need
    // no second one.
    int error = transfer.Step(fd);
    bool closed = false;
    // Whole milliseconds for poll, rounded up; -1 waits without limit.
    const int waitMillis =
        ioDirection == IoOperation::Direction::Write && _writeWaitLimit > 0
            ? static_cast<int>(std::min<int64_t>((_writeWaitLimit + 999) / 1000, INT32_MAX))
            : -1;
    if (error == EAGAIN) {
        // Waiting for the socket without the lock; Close leaves the descriptor open for this
        // thread until it is done (_fdUsers).
        ++_fdUsers;
        Unlock();
        {
            // Takes the lock back however the wait ends, and lets a Close made meanwhile close
            // the descriptor once no thread polls it any more.
            struct Reacquire {
                StreamSocket* stream;
                ~Reacquire() {
                    stream->Lock();
                    if (--stream->_fdUsers == 0 && stream->_closingFd >= 0) {
                        close(stream->_closingFd);
                        stream->_closingFd = -1;
                    }
                }
            } reacquire{this};
            while (error == EAGAIN) {
                ThreadPoolPosix::CurrentThreadBlocks();
                pollfd waitFor{fd,
                               static_cast<short>(
                                   ioDirection == IoOperation::Direction::Read ? POLLIN : POLLOUT),
                               0};
                const int ready = poll(&waitFor, 1, waitMillis);
                if (ready < 0 && errno != EINTR) {
                    error = errno;
                    break;
                }
                if (ready == 0) {
                    error = ETIMEDOUT;
                    break;
                }
                error = transfer.Step(fd);
            }
        }
        closed = _fd != fd;
    }
    registration.EndDirectTransfer(ioDirection, token, transfer.Drained(transfer.Done(), error));
    if (closed) {
        throw CanceledException();
    }
    if (error == ETIMEDOUT) {
        // The peer stopped taking bytes: what went out is part of a message, so the stream
        // cannot be used on.
        Close();
        throw TimeoutException();
    }
    if (error != 0) {
        ThrowPosixError(error, direction == Direction::Read ? "recv" : "send");
    }
    return transfer.Done();
}

void StreamSocket::TransferInitiateLocked(Direction direction, void* buffer, int32_t length) {
    Transfer* transfer = _transfers[static_cast<int>(direction)].get();
    transfer->Prepare(buffer, length);
    if (_fd >= 0) {
        OnTransferIssued(direction, _fd, transfer);
    }
    // After Close the registration is cancelled and fails the transfer with ECANCELED.
    _registration->Start(transfer);
}

void StreamSocket::SetWriteWaitLimit(int64_t micros) {
    ScopedLock lock(*this);
    _writeWaitLimit = micros > 0 ? micros : 0;
}

bool SetWriteWaitLimit(Stream& stream, int64_t micros) {
    auto* socket = dynamic_cast<StreamSocket*>(&stream);
    if (socket == nullptr) {
        return false;
    }
    socket->SetWriteWaitLimit(micros);
    return true;
}

void StreamSocket::OnIoCompletion(IoOperation* operation, int64_t bytes, const Exception* error) {
    const Direction direction = operation->GetDirection() == IoOperation::Direction::Read
                                    ? Direction::Read
                                    : Direction::Write;
    DeliverCompletion(direction, static_cast<int32_t>(bytes), error);
}

}  // namespace Tarvos::System
