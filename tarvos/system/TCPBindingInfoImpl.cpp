#include "tarvos/system/internal/TCPBindingInfoImpl.h"

#include <arpa/inet.h>

namespace Tarvos::System {

Ref<TCPBindingInfoImpl> TCPBindingInfoImpl::FromSockaddr(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return Ref<TCPBindingInfoImpl>(new TCPBindingInfoImpl(text, ntohs(address.sin_port)));
}

}  // namespace Tarvos::System
