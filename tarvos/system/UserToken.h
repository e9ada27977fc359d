#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"

namespace Tarvos::System {

// The operating-system identity of one user, as a thread takes it on while impersonating: the
// user name, the user id, the primary group id and the supplementary groups (the primary group
// among them when the user database lists it so). Hosts make tokens with CreateUserToken after
// their own login check; the impersonation layer only stores tokens and passes them on.
//
// Immutable; safe for concurrent use.
class TARVOS_API UserToken : public ObjectImpl {
public:
    // A token for ids the caller already knows. Throws InvalidArgumentException when `uid` or
    // `gid` is -1: the system calls read -1 as "leave unchanged", so such a token would let a
    // thread keep its own identity while it claims to impersonate.
    UserToken(std::string userName, uid_t uid, gid_t gid, std::vector<gid_t> groups);

    const std::string& GetUserName() const noexcept { return _userName; }
    uid_t GetUid() const noexcept { return _uid; }
    gid_t GetGid() const noexcept { return _gid; }
    const std::vector<gid_t>& GetGroups() const noexcept { return _groups; }

private:
    const std::string _userName;
    const uid_t _uid;
    const gid_t _gid;
    const std::vector<gid_t> _groups;
};

// No user of that name exists in the user database. Caught as NotFoundException too.
class TARVOS_API UnknownUserException : public NotFoundException {
public:
    explicit UnknownUserException(const std::string& userName)
        : NotFoundException("Unknown user " + userName) {}
};

// Looks `userName` up in the user database (NSS: getpwnam_r, then getgrouplist for its groups)
// and delivers a new token into `token`. Throws UnknownUserException naming the user when there
// is no such user, PosixSystemException (with the operation and the name) when the database
// cannot be read. Thread-safe.
TARVOS_API void CreateUserToken(const std::string& userName, Ref<UserToken>& token);

// The user name of `uid` from the user database; false when the database has no entry for it.
// Throws PosixSystemException when the database cannot be read. Thread-safe.
TARVOS_API bool LookUpUserName(uid_t uid, std::string& userName);

}  // namespace Tarvos::System
