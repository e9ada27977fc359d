#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/system/BindingInfo.h"

namespace Tarvos::System {

// An IPv4 endpoint: the dotted address and the port. Immutable; safe for concurrent use.
class TARVOS_INTERNAL TCPBindingInfoImpl final : public TCPBindingInfo, public ObjectImpl {
public:
    TCPBindingInfoImpl(std::string address, uint16_t port)
        : _address(std::move(address)), _port(port) {}

    // The endpoint of an IPv4 socket address.
    static Ref<TCPBindingInfoImpl> FromSockaddr(const sockaddr_in& address);

    BindingKind GetKind() const override { return BindingKind::Tcp; }
    std::string GetText() const override { return _address + ":" + std::to_string(_port); }
    std::string GetAddress() const override { return _address; }
    uint16_t GetPort() const override { return _port; }
    std::string ToString() const override { return GetText(); }

private:
    const std::string _address;
    const uint16_t _port;
};

}  // namespace Tarvos::System
