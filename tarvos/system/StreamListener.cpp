#include "tarvos/system/internal/StreamListener.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tarvos/core/Panic.h"
#include "tarvos/service/Log.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/Task.h"
#include "tarvos/system/internal/ThreadPoolPosix.h"

namespace Tarvos::System {

namespace {

// How long a blocking accept sleeps in poll before it looks whether the server was closed, and
// how long an asynchronous accept waits after a descriptor shortage before it tries again.
constexpr int kBlockingAcceptSliceMillis = 100;
constexpr int64_t kShortageRetryMicros = 100000;

bool IsDescriptorShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// accept4 for a non-blocking, close-on-exec socket, passing over connections that died in the
// backlog. Returns the descriptor, or -1 with errno set.
int AcceptOne(int listenFd) {
    for (;;) {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            return fd;
        }
        if (errno != EINTR && errno != ECONNABORTED && errno != EPROTO) {
            return -1;
        }
    }
}

}  // namespace

class StreamListener::Forwarder final : public IoCompletionHandler, public ObjectImpl {
public:
    explicit Forwarder(StreamListener* owner) : _owner(owner) {}
    void OnIoCompletion(IoOperation*, int64_t bytes, const Exception* error) override {
        _owner->OnAccepted(bytes, error);
    }

private:
    StreamListener* const _owner;  // kept alive by the pending accept (invariant 1)
};

// Completes with the accepted descriptor as its byte count.
class StreamListener::AcceptOperation final : public IoOperation {
public:
    AcceptOperation() : IoOperation(Direction::Read) {}
    bool Perform(int fd, int64_t& bytes, int& error) override {
        const int accepted = AcceptOne(fd);
        if (accepted >= 0) {
            bytes = accepted;
            error = 0;
            return true;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return false;
        }
        error = errno;
        bytes = -1;
        return true;
    }
};

StreamListener::StreamListener()
    : _operation(std::make_unique<AcceptOperation>()), _forwarder(new Forwarder(this)) {}

StreamListener::~StreamListener() {
    if (_registration) {
        _registration->Cancel();
    }
    if (_fd >= 0) {
        close(_fd);
    }
}

void StreamListener::OnClosingLocked(int) {}

void StreamListener::AttachListenerLocked(int fd) {
    _pool = AssociateWithCurrentPool(fd, _forwarder, _registration);
    _fd = fd;
}

void StreamListener::CheckAcceptAllowedLocked() {
    if (_pendingCallback) {
        Unlock();
        throw InProgressException();
    }
    if (_fd < 0) {
        Unlock();
        throw PosixSystemException(ENOTCONN);
    }
}

void StreamListener::Accept(Ref<Stream>& stream) {
    Lock();
    CheckAcceptAllowedLocked();
    Unlock();
    for (;;) {
        // The descriptor is read under the lock each round: Close may retire it meanwhile, and a
        // poll on a closed (and perhaps reused) number must not happen.
        Lock();
        const int fd = _fd;
        if (fd < 0) {
            Unlock();
            throw CanceledException();
        }
        const int accepted = AcceptOne(fd);
        const int error = errno;
        Unlock();
        if (accepted >= 0) {
            WrapAccepted(accepted, stream);
            return;
        }
        if (error != EAGAIN && error != EWOULDBLOCK) {
            ThrowPosixError(error, "accept");
        }
        pollfd waitFor{fd, POLLIN, 0};
        // A time slice rather than an endless poll: Close cannot wake a poll on a listener.
        Lock();
        const bool open = _fd == fd;
        Unlock();
        if (open) {
            ThreadPoolPosix::CurrentThreadBlocks();
            poll(&waitFor, 1, kBlockingAcceptSliceMillis);
        }
    }
}

void StreamListener::Accept(const Ref<AcceptCallback>& callback) {
    if (!callback) {
        throw InvalidArgumentException("Accept needs a callback");
    }
    Lock();
    CheckAcceptAllowedLocked();
    _pendingCallback = callback;
    _keepAlive = this;
    const Ref<IoRegistration> registration = _registration;
    Unlock();
    try {
        registration->Start(_operation.get());
    } catch (...) {
        Ref<AcceptCallback> dropped;
        Ref<StreamListener> self;
        Lock();
        dropped = std::move(_pendingCallback);
        self = std::move(_keepAlive);
        Unlock();
        throw;
    }
}

void StreamListener::Close() {
    Lock();
    if (_fd >= 0) {
        OnClosingLocked(_fd);
        // A pending accept completes with ECANCELED through the completion queue; one waiting
        // for a retry after a shortage is failed by Reissue.
        _registration->Cancel();
        close(_fd);
        _fd = -1;
    }
    _closed = true;
    Unlock();
}

void StreamListener::OnAccepted(int64_t fd, const Exception* error) {
    if (const auto* system = dynamic_cast<const SystemException*>(error)) {
        if (IsDescriptorShortage(system->GetErrorCode())) {
            RetryLater(system->GetErrorCode());
            return;
        }
    }
    Ref<Stream> stream;
    std::unique_ptr<Exception> wrapFailure;
    if (error == nullptr) {
        try {
            WrapAccepted(static_cast<int>(fd), stream);
        } catch (const Exception& failure) {
            wrapFailure = std::make_unique<Exception>(failure);
        }
    }
    Ref<AcceptCallback> callback;
    Ref<StreamListener> self;
    Lock();
    callback = std::move(_pendingCallback);
    self = std::move(_keepAlive);
    Unlock();
    TARVOS_VERIFY(callback);
    const Ref<StreamServer> server(static_cast<StreamServer*>(this));
    callback->OnAcceptComplete(server, error != nullptr ? error : wrapFailure.get(), stream);
}

void StreamListener::RetryLater(int error) {
    Service::Log(GetListenerLogger(), Service::LogLevel::Warning, "accept: %1; retrying in %2 ms",
                 PosixSystemException::GetErrorText(error), kShortageRetryMicros / 1000);
    Ref<ScheduledItem> item;
    const Ref<StreamListener> self(this);
    _pool->ScheduleTimer(MakeTask([self] { self->Reissue(); }), kShortageRetryMicros, item);
}

void StreamListener::Reissue() {
    Lock();
    const Ref<IoRegistration> registration = _registration;
    Unlock();
    // A cancelled registration (the server was closed meanwhile) fails the accept with
    // ECANCELED through the completion queue, which reaches the callback.
    try {
        registration->Start(_operation.get());
    } catch (const SystemException& failure) {
        OnAccepted(-1, &failure);
    }
}

}  // namespace Tarvos::System
