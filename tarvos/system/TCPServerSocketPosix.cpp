#include "tarvos/system/internal/TCPServerSocketPosix.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tarvos/service/Log.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactoryImpl.h"
#include "tarvos/system/internal/TCPStreamPosix.h"

namespace Tarvos::System {

namespace {

// Connections the kernel queues before they are accepted. Larger than the traditional 5: a
// burst of clients (a load balancer's health checks, a benchmark opening 50 connections at once)
// would otherwise see SYNs dropped and connect only after the retransmission delay.
constexpr int kListenBacklog = 128;

}  // namespace

TCPServerSocketPosix::TCPServerSocketPosix() = default;

TCPServerSocketPosix::~TCPServerSocketPosix() = default;

void TCPServerSocketPosix::Listen(const std::string& address, uint16_t port) {
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(port);
    if (address.empty()) {
        bound.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, address.c_str(), &bound.sin_addr) != 1) {
        throw InvalidArgumentException("not a dotted IPv4 address: " + address);
    }
    ScopedLock lock(*this);
    if (IsListeningLocked()) {
        throw PosixSystemException(EALREADY, "Listen");
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ThrowPosixError("socket");
    }
    const std::string where = "listen on " + address + ":" + std::to_string(port);
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
        listen(fd, kListenBacklog) != 0) {
        const int error = errno;
        close(fd);
        ThrowPosixError(error, where);
    }
    sockaddr_in actual{};
    socklen_t length = sizeof actual;
    getsockname(fd, reinterpret_cast<sockaddr*>(&actual), &length);
    AttachListenerLocked(fd);
    _port = ntohs(actual.sin_port);
}

uint16_t TCPServerSocketPosix::GetPort() const {
    auto* self = const_cast<TCPServerSocketPosix*>(this);
    ScopedLock lock(*self);
    return IsListeningLocked() ? _port : 0;
}

void TCPServerSocketPosix::WrapAccepted(int fd, Ref<Stream>& stream) {
    stream = new TCPStreamPosix(fd);
}

Ref<Service::Logger> TCPServerSocketPosix::GetListenerLogger() {
    return GetTcpLogger();
}

void SystemFactoryImpl::CreateTCPServerSocket(Ref<TCPServerSocket>& server) {
    server = new TCPServerSocketPosix();
}

}  // namespace Tarvos::System
