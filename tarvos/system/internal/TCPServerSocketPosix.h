#pragma once

#include <cstdint>
#include <string>

#include "tarvos/system/TCPServerSocket.h"
#include "tarvos/system/internal/StreamListener.h"

namespace Tarvos::System {

// A listening IPv4 TCP socket. Safe for concurrent use.
class TARVOS_INTERNAL TCPServerSocketPosix final : public TCPServerSocket, public StreamListener {
public:
    TCPServerSocketPosix();
    ~TCPServerSocketPosix() override;

    void Listen(const std::string& address, uint16_t port) override;
    uint16_t GetPort() const override;

protected:
    void WrapAccepted(int fd, Ref<Stream>& stream) override;
    Ref<Service::Logger> GetListenerLogger() override;

private:
    uint16_t _port = 0;  // guarded by the server's lock
};

}  // namespace Tarvos::System
