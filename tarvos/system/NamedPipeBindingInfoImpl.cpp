#include "tarvos/system/internal/NamedPipeBindingInfoImpl.h"

#include <sys/socket.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "tarvos/system/Impersonator.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactory.h"

namespace Tarvos::System {

namespace {

// Past this many groups the kernel's answer is taken as broken rather than grown without end
// (the kernel itself allows 65536).
constexpr size_t kMaxPeerGroups = 1 << 17;

// The supplementary groups the peer of `fd` had when it connected; false when the kernel does
// not report them.
bool ReadPeerGroups(int fd, std::vector<gid_t>& groups) {
    groups.resize(32);
    for (;;) {
        socklen_t length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
            groups.resize(length / sizeof(gid_t));
            return true;
        }
        // ERANGE reports the length needed.
        const size_t needed = length / sizeof(gid_t);
        if (errno != ERANGE || needed <= groups.size() || needed > kMaxPeerGroups) {
            return false;
        }
        groups.resize(needed);
    }
}

}  // namespace

NamedPipeBindingInfoImpl::NamedPipeBindingInfoImpl(std::string pipeName)
    : _pipeName(std::move(pipeName)), _serverEnd(false) {}

NamedPipeBindingInfoImpl::NamedPipeBindingInfoImpl(std::string pipeName, std::string clientUserName,
                                                   Ref<UserToken> client)
    : _pipeName(std::move(pipeName)),
      _clientUserName(std::move(clientUserName)),
      _client(std::move(client)),
      _serverEnd(true) {}

Ref<NamedPipeBindingInfoImpl> NamedPipeBindingInfoImpl::ForServerEnd(const std::string& pipeName,
                                                                     int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return Ref<NamedPipeBindingInfoImpl>(new NamedPipeBindingInfoImpl(pipeName, {}, nullptr));
    }
    std::string name;
    try {
        if (!LookUpUserName(credentials.uid, name)) {
            name = std::to_string(credentials.uid);
        }
    } catch (const Exception&) {
        // An unreadable user database leaves the id as the name.
        name = std::to_string(credentials.uid);
    }
    std::vector<gid_t> groups;
    if (!ReadPeerGroups(fd, groups)) {
        groups.assign(1, credentials.gid);
    }
    Ref<UserToken> client;
    try {
        client = new UserToken(name, credentials.uid, credentials.gid, std::move(groups));
    } catch (const InvalidArgumentException&) {
        // Ids of -1 cannot be taken on (UserToken explains why); the name is still reported.
    }
    return Ref<NamedPipeBindingInfoImpl>(
        new NamedPipeBindingInfoImpl(pipeName, std::move(name), std::move(client)));
}

bool NamedPipeBindingInfoImpl::ImpersonateClient() const {
    if (!_client) {
        throw PosixSystemException(
            EPERM, "impersonating the client of pipe " + _pipeName +
                       (_serverEnd ? ": the client's identity could not be read"
                                   : ": this is the client's own end, which has no client"));
    }
    Ref<Impersonator> impersonator;
    GetSystemFactory().CreateImpersonator(impersonator);
    return impersonator->Impersonate(_clientUserName, _client);
}

void NamedPipeBindingInfoImpl::RevertToSelf() const {
    Ref<Impersonator> impersonator;
    GetSystemFactory().CreateImpersonator(impersonator);
    impersonator->Revert();
}

}  // namespace Tarvos::System
