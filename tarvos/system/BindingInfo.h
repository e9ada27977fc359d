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

// A named-pipe endpoint; its text is the pipe name. The server's two bindings of an accepted
// connection (local and remote) also carry the client's identity as the system recorded it when
// the client connected: its user, group and supplementary groups.
class TARVOS_API NamedPipeBindingInfo : public virtual BindingInfo {
public:
    virtual std::string GetPipeName() const = 0;
    // The user at the client end of the pipe (from the connection's peer credentials; the
    // decimal user id when the user database does not know it). Empty for the client's own view
    // of the server end.
    virtual std::string GetClientUserName() const = 0;

    // Makes the calling thread act as the pipe's client, with the identity recorded when it
    // connected (not looked up again by name), through the platform Impersonator, whose rules
    // apply: returns true when the thread took the identity on; returns false, keeping the
    // thread's current identity, when the thread already impersonates (logging "Trying to
    // impersonate <user> while impersonating a different user" when that is someone else).
    // Only the calling thread changes, and it stays changed until RevertToSelf, which it must
    // call before it goes back to other work (a pool callback reverts before it returns).
    // A process without root privileges cannot switch a thread's ids: the thread then only
    // records the client's user name, which Impersonator::GetCurrentUserName reports, and keeps
    // its own ids and file access.
    // Throws PosixSystemException(EPERM) on the client's own view of the pipe (there is no
    // client to act as) or when the client's identity could not be read; PosixSystemException
    // when the switch fails (the thread is then unchanged). Thread-safe.
    virtual bool ImpersonateClient() const = 0;
    // Returns the calling thread to its own identity (Impersonator::Revert), whichever binding
    // it is called on; a thread that does not impersonate is left unchanged. Throws
    // PosixSystemException when the switch back fails. Thread-safe.
    virtual void RevertToSelf() const = 0;
};

}  // namespace Tarvos::System
