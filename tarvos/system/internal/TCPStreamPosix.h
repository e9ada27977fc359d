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

// A TCP connection. Made around an accepted socket, around a connected socket handed over by
// its owner (CreateSocket), or (as TCPClientSocketPosix) around a fresh socket that connects. The
// local and peer addresses are read from the socket on first request. Safe for concurrent use.
class TARVOS_INTERNAL TCPStreamPosix : public StreamSocket {
public:
    // Takes the connected non-blocking socket `fd` (-1: none yet, see CreateSocket) and
    // registers it with the calling thread's pool.
    explicit TCPStreamPosix(int fd);
    ~TCPStreamPosix() override;

    // Gives the stream its socket, registered with the calling thread's pool:
    //  - `handedOver` = -1: a fresh non-blocking IPv4 stream socket (not yet connected);
    //  - otherwise `handedOver` must be a connected stream socket (AF_INET, or AF_UNIX such as
    //    one end of a socketpair). The stream takes its own close-on-exec duplicate of it and,
    //    once everything succeeded, closes `handedOver`: from then on the caller must neither use
    //    nor close that number. The duplicate shares the socket's open file description, which
    //    is switched to non-blocking mode (all I/O runs on the completion queue), so any other
    //    holder of the same description sees that mode too.
    // On failure nothing is closed and the caller keeps `handedOver` in the mode it had.
    // Throws PosixSystemException: EALREADY when the stream has (or had) a socket already,
    // EBADF for a descriptor that is not open, ENOTSOCK for one that is not a stream socket,
    // EAFNOSUPPORT for another address family, ENOTCONN for a socket that is not connected (a
    // listening socket among them); WrongThreadException off the pool. Logs
    // "CreateSocket(<family>, <type>) socket=<descriptor>" to the "TCP" logger at level info.
    void CreateSocket(int handedOver);

    void GetBindingInfo(BindingKind kind, Ref<BindingInfo>& local,
                        Ref<BindingInfo>& remote) override;

protected:
    void OnTransferIssued(Direction direction, int fd, const void* record) override;
    void OnClosingLocked(int fd) override;

    const Ref<Service::Logger> _logger;

private:
    // Guarded by the stream's lock.
    bool _socketCreated = false;  // the stream has had a socket; it never takes a second one
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
