#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Object.h"

namespace Tarvos::System {

// The kinds of connection endpoints. A caller asks a stream (or a session) for the binding of one
// kind; each BindingInfo reports its own.
enum class BindingKind {
    Tcp,        // TCPBindingInfo: an IPv4 address and a port
    NamedPipe,  // NamedPipeBindingInfo: a local pipe name
};

// One end of a connection. Immutable once made; safe for concurrent use.
class TARVOS_API BindingInfo : public virtual Object {
public:
    virtual BindingKind GetKind() const = 0;
    // A printable form of the endpoint.
    virtual std::string GetText() const = 0;
};

// A TCP endpoint; its text is the dotted address, ":" and the port in decimal.
class TARVOS_API TCPBindingInfo : public virtual BindingInfo {
public:
    virtual std::string GetAddress() const = 0;
    virtual uint16_t GetPort() const = 0;
};

// A named-pipe endpoint; its text is the pipe name.
class TARVOS_API NamedPipeBindingInfo : public virtual BindingInfo {
public:
    virtual std::string GetPipeName() const = 0;
    // The user at the client end of the pipe (from the connection's peer credentials; the
    // decimal user id when the user database does not know it). Empty for the client's own view
    // of the server end.
    virtual std::string GetClientUserName() const = 0;
};

}  // namespace Tarvos::System
