#pragma once

#include <cstdint>
#include <string>

#include "tarvos/service/Logger.h"
#include "tarvos/system/TCPClientSocket.h"
#include "tarvos/system/internal/StreamSocket.h"
#include "tarvos/system/internal/TCPBindingInfoImpl.h"

namespace Tarvos::System {

// The "TCP" logger: the pool's trace logger, made below the default logger on first use (and
// again after ThreadPool::Drain dropped it). Null when there is no default logger.
TARVOS_INTERNAL Ref<Service::Logger> GetTcpLogger();

// A TCP connection. Made around an accepted socket, or (as TCPClientSocketPosix) around a fresh
// socket that connects. The local and peer addresses are read from the socket on first request
// unless the accepting server set them. Safe for concurrent use.
class TARVOS_INTERNAL TCPStreamPosix : public StreamSocket {
public:
    // Takes the connected non-blocking socket `fd` (-1: none yet) and registers it with the
    // calling thread's pool.
    explicit TCPStreamPosix(int fd);
    ~TCPStreamPosix() override;

    void GetBindingInfo(BindingKind kind, Ref<BindingInfo>& local,
                        Ref<BindingInfo>& remote) override;

protected:
    void OnTransferIssued(Direction direction, int fd, const void* record) override;
    void OnClosingLocked(int fd) override;

    const Ref<Service::Logger> _logger;

private:
    // Guarded by the stream's lock.
    Ref<TCPBindingInfoImpl> _local;
    Ref<TCPBindingInfoImpl> _remote;
};

// A TCP socket that connects and then is the stream. Safe for concurrent use.
class TARVOS_INTERNAL TCPClientSocketPosix final : public TCPClientSocket, public TCPStreamPosix {
public:
    // Creates a fresh IPv4 stream socket registered with the calling thread's pool.
    TCPClientSocketPosix();
    ~TCPClientSocketPosix() override;

    void ConnectInitiate(const std::string& host, uint16_t port,
                         const Ref<TCPConnectCallback>& callback) override;
    void Close() override;

private:
    class Notification;
    void OnConnected(const Exception* error);

    // Guarded by the stream's lock: set exactly while a connect is pending.
    Ref<TCPConnectCallback> _connectCallback;
    Ref<TCPClientSocketPosix> _connectKeepAlive;
};

}  // namespace Tarvos::System
