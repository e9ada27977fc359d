#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Exception.h"
#include "tarvos/system/Stream.h"

namespace Tarvos::System {

class TCPClientSocket;

// Told when a connect ended: `error` null when connected, else why (CanceledException when the
// socket was closed while connecting). Runs on a pool worker with the socket's lock released.
class TARVOS_API TCPConnectCallback : public virtual Object {
public:
    virtual void OnConnectComplete(const Ref<TCPClientSocket>& socket, const Exception* error) = 0;
};

// The connecting end of a TCP connection, made by SystemFactory::CreateTCPClientSocket; once
// connected it is itself the stream. Safe for concurrent use.
class TARVOS_API TCPClientSocket : public virtual Stream {
public:
    // Starts connecting to `host` (dotted IPv4, or a name resolved to IPv4) and `port`; the end is
    // reported to `callback` (not null) on a pool worker, never inside this call. A failed connect
    // closes the socket. InProgressException while a connect is pending; PosixSystemException
    // when the name cannot be resolved (EHOSTUNREACH) or connect refuses at once.
    virtual void ConnectInitiate(const std::string& host, uint16_t port,
                                 const Ref<TCPConnectCallback>& callback) = 0;
};

// F: void(const Ref<TCPClientSocket>&, const Exception*).
template <class F>
Ref<TCPConnectCallback> MakeConnectCallback(F&& function) {
    class FunctionConnectCallback final : public TCPConnectCallback, public ObjectImpl {
    public:
        explicit FunctionConnectCallback(std::decay_t<F> f) : _function(std::move(f)) {}
        void OnConnectComplete(const Ref<TCPClientSocket>& socket,
                               const Exception* error) override {
            _function(socket, error);
        }

    private:
        std::decay_t<F> _function;
    };
    return Ref<TCPConnectCallback>(new FunctionConnectCallback(std::forward<F>(function)));
}

}  // namespace Tarvos::System
