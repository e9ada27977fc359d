#pragma once

#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/system/BindingInfo.h"
#include "tarvos/system/UserToken.h"

namespace Tarvos::System {

// A pipe endpoint: the pipe name and, on the server's ends of a connection, the client's user
// name and identity. The identity is read from the connection once, when the server takes it
// (the kernel fixes a Unix-domain peer's credentials at connect time, so nothing is lost), and
// kept as a token: the binding holds no descriptor of its own, so it never keeps a connection
// open after its stream closed.
//
// Immutable; safe for concurrent use.
class TARVOS_INTERNAL NamedPipeBindingInfoImpl final : public NamedPipeBindingInfo,
                                                       public ObjectImpl {
public:
    // The client's view of the server end: no client to report or impersonate.
    explicit NamedPipeBindingInfoImpl(std::string pipeName);
    // A server end whose client is `clientUserName`, with the identity `client` (null when it
    // could not be read: impersonation is then refused).
    NamedPipeBindingInfoImpl(std::string pipeName, std::string clientUserName,
                             Ref<UserToken> client);

    // A server end of the connected Unix-domain socket `fd`, describing its peer: user and
    // group ids from SO_PEERCRED, supplementary groups from SO_PEERGROUPS (only the group id
    // where the kernel does not report them, never groups looked up by name, which the client
    // may not have had), the name from the user database (the decimal user id when it has
    // none). Does not throw for an unreadable peer: the binding then has an empty user name and
    // refuses impersonation.
    static Ref<NamedPipeBindingInfoImpl> ForServerEnd(const std::string& pipeName, int fd);

    BindingKind GetKind() const override { return BindingKind::NamedPipe; }
    std::string GetText() const override { return _pipeName; }
    std::string GetPipeName() const override { return _pipeName; }
    std::string GetClientUserName() const override { return _clientUserName; }
    bool ImpersonateClient() const override;
    void RevertToSelf() const override;
    std::string ToString() const override { return _pipeName; }

    // The client's identity; null on the client's view or when it could not be read.
    const Ref<UserToken>& GetClientToken() const noexcept { return _client; }

private:
    const std::string _pipeName;
    const std::string _clientUserName;
    const Ref<UserToken> _client;
    const bool _serverEnd;
};

}  // namespace Tarvos::System
