#pragma once

#include <cstdint>
#include <string>

#include "tarvos/system/StreamServer.h"

namespace Tarvos::System {

// A listening IPv4 TCP socket, made by SystemFactory::CreateTCPServerSocket. Accepted streams
// answer GetBindingInfo(BindingKind::Tcp) with their local and peer addresses. Safe for
// concurrent use.
class TARVOS_API TCPServerSocket : public virtual StreamServer {
public:
    // Binds to `address` (dotted IPv4; empty or "0.0.0.0" for every interface) and `port` (0: a
    // port chosen by the system) and listens. InvalidArgumentException for a malformed address,
    // PosixSystemException(EALREADY) when already listening, else the errno of the failing call.
    virtual void Listen(const std::string& address, uint16_t port) = 0;
    // The bound port (useful after Listen with port 0); 0 when not listening.
    virtual uint16_t GetPort() const = 0;
};

}  // namespace Tarvos::System
