#include "tarvos/system/UserToken.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <utility>

#include "tarvos/system/PosixSystemException.h"

namespace Tarvos::System {

namespace {

// NSS entries are read into caller-supplied buffers that grow on ERANGE; past this size the
// entry is taken as broken rather than grown without end.
constexpr size_t kMaxEntryBuffer = 1 << 20;

// getpwnam_r and getpwuid_r report "no such entry" as 0 with a null result, or, depending on the
// NSS module, as one of these codes.
bool MeansNotFound(int code) {
    return code == 0 || code == ENOENT || code == ESRCH || code == EBADF || code == EPERM;
}

// Runs one reentrant passwd lookup, growing the buffer as needed. Returns false when the entry
// does not exist; throws PosixSystemException with `context` for any other failure.
bool ReadPasswd(const std::function<int(passwd*, char*, size_t, passwd**)>& lookup, passwd& entry,
                std::vector<char>& buffer, const std::string& context) {
    const long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    buffer.resize(hint > 0 ? static_cast<size_t>(hint) : 1024);
    for (;;) {
        passwd* result = nullptr;
        const int code = lookup(&entry, buffer.data(), buffer.size(), &result);
        if (result != nullptr) {
            return true;
        }
        if (code == ERANGE && buffer.size() < kMaxEntryBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (MeansNotFound(code)) {
            return false;
        }
        ThrowPosixError(code, context);
    }
}

std::vector<gid_t> ReadGroups(const std::string& userName, gid_t gid) {
    std::vector<gid_t> groups(32);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (getgrouplist(userName.c_str(), gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<size_t>(count));
            return groups;
        }
        // `count` now holds the number needed; some C libraries leave it unchanged instead.
        const size_t needed = static_cast<size_t>(count) > groups.size()
                                  ? static_cast<size_t>(count)
                                  : groups.size() * 2;
        if (needed > kMaxEntryBuffer) {
            ThrowPosixError(ERANGE, "getgrouplist " + userName);
        }
        groups.resize(needed);
    }
}

}  // namespace

UserToken::UserToken(std::string userName, uid_t uid, gid_t gid, std::vector<gid_t> groups)
    : _userName(std::move(userName)), _uid(uid), _gid(gid), _groups(std::move(groups)) {
    if (_uid == static_cast<uid_t>(-1) || _gid == static_cast<gid_t>(-1)) {
        throw InvalidArgumentException("user or group id -1 for user " + _userName);
    }
}

void CreateUserToken(const std::string& userName, Ref<UserToken>& token) {
    passwd entry{};
    std::vector<char> buffer;
    const auto byName = [&userName](passwd* e, char* b, size_t n, passwd** r) {
        return getpwnam_r(userName.c_str(), e, b, n, r);
    };
    if (!ReadPasswd(byName, entry, buffer, "getpwnam_r " + userName)) {
        throw UnknownUserException(userName);
    }
    std::vector<gid_t> groups = ReadGroups(userName, entry.pw_gid);
    token = Ref<UserToken>(new UserToken(userName, entry.pw_uid, entry.pw_gid, std::move(groups)));
}

bool LookUpUserName(uid_t uid, std::string& userName) {
    passwd entry{};
    std::vector<char> buffer;
    const auto byId = [uid](passwd* e, char* b, size_t n, passwd** r) {
        return getpwuid_r(uid, e, b, n, r);
    };
    if (!ReadPasswd(byId, entry, buffer, "getpwuid_r " + std::to_string(uid))) {
        return false;
    }
    userName = entry.pw_name;
    return true;
}

}  // namespace Tarvos::System
