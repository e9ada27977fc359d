#include "tarvos/system/internal/TCPStreamPosix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tarvos/core/Panic.h"
#include "tarvos/service/Log.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactoryImpl.h"
#include "tarvos/system/Task.h"
#include "tarvos/system/internal/ThreadPoolPosix.h"

namespace Tarvos::System {

using Service::Log;
namespace LogLevel = Service::LogLevel;

Ref<Service::Logger> GetTcpLogger() {
    Ref<Service::Logger> logger = GetTcpTraceLogger();
    if (!logger) {
        if (Ref<Service::Logger> root = Service::TryGetDefaultLogger()) {
            root->CreateLogger("TCP", logger);
            SetTcpTraceLogger(logger);
        }
    }
    return logger;
}

namespace {

// Resolves `host` (dotted, else by name) to an IPv4 address; throws PosixSystemException.
in_addr ResolveIpv4(const std::string& host, const Ref<Service::Logger>& logger) {
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
        return address;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0 || found == nullptr) {
        Log(logger, LogLevel::Trivia, "gethostbyname fails on %1", host);
        throw PosixSystemException(
            EHOSTUNREACH, "resolving " + host + ": " + (status != 0 ? gai_strerror(status) : ""));
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return address;
}

// Every socket a TCP stream takes is logged by this one line, fresh or handed over.
void LogSocketCreated(const Ref<Service::Logger>& logger, int family, int type, int fd) {
    Log(logger, LogLevel::Info, "CreateSocket(%1, %2) socket=%3", family, type, fd);
}

int NewTcpSocket() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ThrowPosixError("socket");
    }
    return fd;
}

std::string HandoverContext(int fd) {
    return "taking over socket " + std::to_string(fd);
}

// Checks that `fd` is a connected stream socket of a family a stream serves and returns the
// family. Only queries the descriptor.
int CheckHandedOverSocket(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) {
        ThrowPosixError(HandoverContext(fd));  // EBADF, or ENOTSOCK for a file or a pipe
    }
    if (type != SOCK_STREAM) {
        throw PosixSystemException(ENOTSOCK, HandoverContext(fd) + ", not a stream socket");
    }
    int family = 0;
    length = sizeof family;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &length) != 0) {
        ThrowPosixError(HandoverContext(fd));
    }
    if (family != AF_INET && family != AF_UNIX) {
        throw PosixSystemException(EAFNOSUPPORT, HandoverContext(fd));
    }
    // A listening socket has no peer either.
    sockaddr_storage peer{};
    length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        ThrowPosixError(HandoverContext(fd));
    }
    return family;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TCPStreamPosix

TCPStreamPosix::TCPStreamPosix(int fd) : _logger(GetTcpLogger()) {
    Log(_logger, LogLevel::Info,
        "Tarvos::System::TCPStreamWin32::TCPStreamWin32 : _readOvl=%1, _writeOvl=%2",
        static_cast<const void*>(this), static_cast<const void*>(&_local));
    if (fd >= 0) {
        ScopedLock lock(*this);
        AttachLocked(fd);
        _socketCreated = true;
    }
}

TCPStreamPosix::~TCPStreamPosix() {
    ScopedLock lock(*this);
    StreamSocket::Close();
}

void TCPStreamPosix::CreateSocket(int handedOver) {
    ScopedLock lock(*this);
    // A closed stream stays closed: its registration may still be failing cancelled transfers.
    if (_socketCreated) {
        throw PosixSystemException(EALREADY, "CreateSocket");
    }
    if (handedOver == -1) {
        const int fd = NewTcpSocket();
        LogSocketCreated(_logger, AF_INET, SOCK_STREAM, fd);
        AttachLocked(fd);
        _socketCreated = true;
        return;
    }
    const int family = CheckHandedOverSocket(handedOver);
    const int fd = fcntl(handedOver, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        ThrowPosixError(HandoverContext(handedOver));
    }
    // Every transfer is a non-blocking call (asynchronous ones when the completion queue reports
    // readiness, blocking ones between polls), so a stream's socket is non-blocking for its whole
    // life and is never switched to blocking mode. The flag belongs to the description that the
    // duplicate shares with `handedOver`, so a failure below puts the caller's mode back.
    const int flags = fcntl(fd, F_GETFL);
    const bool wasBlocking = flags >= 0 && (flags & O_NONBLOCK) == 0;
    if (flags < 0 || (wasBlocking && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)) {
        const int error = errno;
        close(fd);
        ThrowPosixError(error, HandoverContext(handedOver));
    }
    LogSocketCreated(_logger, family, SOCK_STREAM, fd);
    try {
        AttachLocked(fd);  // closes `fd` when it throws
    } catch (...) {
        if (wasBlocking) {
            fcntl(handedOver, F_SETFL, flags);
        }
        throw;
    }
    _socketCreated = true;
    close(handedOver);
}

void TCPStreamPosix::OnTransferIssued(Direction direction, int fd, const void* record) {
    if (_logger && _logger->IsEnabled(LogLevel::Info)) {
        Log(_logger, LogLevel::Info,
            direction == Direction::Write
                ? "WSASend(%1, wsabuf, 1, xfered=%2, flags=%3, ovl=%4, NULL)"
                : "WSARecv(%1, wsabuf, 1, xfered=%2, flags=%3, ovl=%4, NULL)",
            fd, 0, 0, record);
    }
}

void TCPStreamPosix::OnClosingLocked(int fd) {
    Log(_logger, LogLevel::Info, "closesocket(%1)", fd);
    // Sends what is queued and then the end of the stream before the descriptor goes.
    shutdown(fd, SHUT_WR);
}

void TCPStreamPosix::GetBindingInfo(BindingKind kind, Ref<BindingInfo>& local,
                                    Ref<BindingInfo>& remote) {
    local.Reset();
    remote.Reset();
    if (kind != BindingKind::Tcp) {
        return;
    }
    ScopedLock lock(*this);
    const int fd = GetFdLocked();
    if (fd >= 0 && (!_local || !_remote)) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (!_local && getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            address.sin_family == AF_INET) {
            _local = TCPBindingInfoImpl::FromSockaddr(address);
        }
        length = sizeof address;
        if (!_remote && getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            address.sin_family == AF_INET) {
            _remote = TCPBindingInfoImpl::FromSockaddr(address);
        }
    }
    local = _local;
    remote = _remote;
}

// ---------------------------------------------------------------------------------------------
// TCPClientSocketPosix

// Receives the pool's connect notification (key 2). Holds its socket only through the socket's
// own keep-alive, which lasts exactly while the connect is pending.
class TCPClientSocketPosix::Notification final : public ConnectCallback, public ObjectImpl {
public:
    explicit Notification(TCPClientSocketPosix* owner) : _owner(owner) {}
    void OnConnectComplete(const Exception* error) override { _owner->OnConnected(error); }

private:
    TCPClientSocketPosix* const _owner;
};

TCPClientSocketPosix::TCPClientSocketPosix() : TCPStreamPosix(-1) {
    CreateSocket(-1);
}

TCPClientSocketPosix::~TCPClientSocketPosix() = default;

void TCPClientSocketPosix::ConnectInitiate(const std::string& host, uint16_t port,
                                           const Ref<TCPConnectCallback>& callback) {
    if (!callback) {
        throw InvalidArgumentException("ConnectInitiate needs a callback");
    }
    const in_addr resolved = ResolveIpv4(host, _logger);
    ScopedLock lock(*this);
    if (_connectCallback) {
        throw InProgressException();
    }
    const int fd = GetFdLocked();
    if (fd < 0) {
        throw PosixSystemException(ENOTCONN);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr = resolved;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&resolved.s_addr);
    Log(_logger, LogLevel::Info, "connect(%1, %2.%3.%4.%5:%6)", fd, int{bytes[0]}, int{bytes[1]},
        int{bytes[2]}, int{bytes[3]}, int{port});
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        Log(_logger, LogLevel::Trivia, "NOT TESTED: ConnectInitiate is done early!");
    } else if (errno != EINPROGRESS) {
        ThrowPosixError("connect to " + host + ":" + std::to_string(port));
    }
    ThreadPoolPosix* pool = static_cast<ThreadPoolPosix*>(GetPool().Get());
    // The notification cannot run before the lock is released, so the callback is in place.
    pool->RegisterConnect(fd, Ref<ConnectCallback>(new Notification(this)));
    _connectCallback = callback;
    _connectKeepAlive = this;
}

void TCPClientSocketPosix::OnConnected(const Exception* error) {
    Ref<TCPConnectCallback> callback;
    Ref<TCPClientSocketPosix> self;
    std::unique_ptr<Exception> canceled;
    {
        ScopedLock lock(*this);
        callback = std::move(_connectCallback);
        self = std::move(_connectKeepAlive);
        if (!callback) {
            return;  // Close already reported the connect as cancelled
        }
        if (GetFdLocked() < 0) {
            canceled = std::make_unique<CanceledException>();
            error = canceled.get();
        } else if (error != nullptr) {
            StreamSocket::Close();
        }
    }
    callback->OnConnectComplete(Ref<TCPClientSocket>(this), error);
}

void TCPClientSocketPosix::Close() {
    TARVOS_VERIFY(IsLockedByCaller());
    const int fd = GetFdLocked();
    if (fd >= 0 && _connectCallback) {
        ThreadPoolPosix* pool = static_cast<ThreadPoolPosix*>(GetPool().Get());
        if (pool->CancelConnect(fd)) {
            // The notification will not come: report the cancellation from a worker, as the
            // notification would have, never under this lock.
            Ref<TCPConnectCallback> callback = std::move(_connectCallback);
            Ref<TCPClientSocketPosix> self = std::move(_connectKeepAlive);
            pool->QueueWork(MakeTask([callback, self] {
                const CanceledException canceled;
                callback->OnConnectComplete(Ref<TCPClientSocket>(self.Get()), &canceled);
            }));
        }
    }
    StreamSocket::Close();
}

void SystemFactoryImpl::CreateTCPClientSocket(Ref<TCPClientSocket>& socket) {
    socket = new TCPClientSocketPosix();
}

void SystemFactoryImpl::CreateTCPStreamFromSocket(int socket, Ref<Stream>& stream) {
    // -1 asks CreateSocket for a fresh socket; here it can only be a caller's failed call.
    if (socket < 0) {
        throw PosixSystemException(EBADF, HandoverContext(socket));
    }
    const Ref<TCPStreamPosix> made(new TCPStreamPosix(-1));
    made->CreateSocket(socket);
    stream = made;
}

}  // namespace Tarvos::System
