// Per-thread impersonation.
//
// Every thread has one identity record (thread-local) in one of three states:
//   Own       the thread runs as itself; the initial state, and where Revert leads.
//   Switched  Impersonate found the thread's effective user id 0 (in Mode::Automatic) and set
//             the thread's supplementary groups, group ids and user ids to the token's.
//   Recorded  Impersonate ran without root, or in Mode::RecordNameOnly: only the name (and the
//             token's user id, when a token came along) is kept, and the ids stay as they are.
// Impersonate moves Own to Switched or Recorded; Revert moves either back to Own. Every other
// call leaves the state alone, so a thread that impersonates never changes identity again until
// it reverts.
//
// Invariants:
// 1. Only the owning thread reads or writes its record, so no lock is needed; instances hold no
//    state of their own and may be shared by every thread.
// 2. In Switched the record holds the ids and groups the thread had in Own, and the thread's
//    saved set-user-ID is 0, so it can always become root again to restore them.
// 3. Ids change only through raw system calls, which act on the calling thread alone. The C
//    library's setuid family applies every change to all threads of the process and is never
//    used here.
// 4. The calls are ordered so that each is permitted: groups and group ids while the thread is
//    still root, the user ids last; on the way back the effective user id first.
// 5. Impersonate either completes the switch or leaves the thread in Own with its ids intact: a
//    failed step is undone. An undo that fails ends the process, because a thread with a
//    half-switched identity must not run on.
// 6. Revert leaves the record in Switched until every step succeeded. Each step sets absolute
//    values, so a Revert that threw may simply be called again.

#include "tarvos/system/internal/ImpersonatorPosix.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tarvos/core/Panic.h"
#include "tarvos/service/Log.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactoryImpl.h"

namespace Tarvos::System {

namespace {

enum class State { Own, Switched, Recorded };

struct ThreadIdentity {
    State state = State::Own;
    // The impersonated user, as the caller named it, and its user id when known.
    std::string userName;
    bool hasUid = false;
    uid_t uid = 0;
    // The thread's own ids and groups, kept while Switched.
    uid_t realUid = 0, effectiveUid = 0, savedUid = 0;
    gid_t realGid = 0, effectiveGid = 0, savedGid = 0;
    std::vector<gid_t> groups;
};

thread_local ThreadIdentity t_identity;

// The raw calls: each changes the calling thread's credentials only. A value of -1 leaves that
// id unchanged.
int SetThreadGroups(const std::vector<gid_t>& groups) {
    return static_cast<int>(syscall(SYS_setgroups, groups.size(), groups.data()));
}

int SetThreadGids(gid_t real, gid_t effective, gid_t saved) {
    return static_cast<int>(syscall(SYS_setresgid, real, effective, saved));
}

int SetThreadUids(uid_t real, uid_t effective, uid_t saved) {
    return static_cast<int>(syscall(SYS_setresuid, real, effective, saved));
}

constexpr uid_t kUnchangedUid = static_cast<uid_t>(-1);

// Reads the thread's own ids and groups into `self`.
void SaveOwnIdentity(ThreadIdentity& self) {
    if (getresuid(&self.realUid, &self.effectiveUid, &self.savedUid) != 0) {
        ThrowPosixError("getresuid");
    }
    if (getresgid(&self.realGid, &self.effectiveGid, &self.savedGid) != 0) {
        ThrowPosixError("getresgid");
    }
    const int count = getgroups(0, nullptr);
    if (count < 0) {
        ThrowPosixError("getgroups");
    }
    self.groups.resize(static_cast<size_t>(count));
    const int read = getgroups(count, self.groups.data());
    if (read < 0) {
        ThrowPosixError("getgroups");
    }
    self.groups.resize(static_cast<size_t>(read));
}

// Undoes the `undoSteps` completed steps of a failed switch (1: the groups, 2: also the group
// ids; invariant 5) and throws the error of `call`, whose errno is read before anything else.
[[noreturn]] void UndoAndThrow(const ThreadIdentity& self, int undoSteps, const char* call,
                               const std::string& context) {
    const int errorCode = errno;
    if (undoSteps > 1 && SetThreadGids(self.realGid, self.effectiveGid, self.savedGid) != 0) {
        PanicExit("Cannot restore the thread's group ids after a failed impersonation");
    }
    if (undoSteps > 0 && SetThreadGroups(self.groups) != 0) {
        PanicExit("Cannot restore the thread's groups after a failed impersonation");
    }
    ThrowPosixError(errorCode, call + context);
}

// Own -> Switched. The thread's effective user id is 0.
void SwitchTo(const UserToken& token, ThreadIdentity& self) {
    SaveOwnIdentity(self);
    const std::string context = " while impersonating " + token.GetUserName();
    if (SetThreadGroups(token.GetGroups()) != 0) {
        UndoAndThrow(self, 0, "setgroups", context);
    }
    if (SetThreadGids(token.GetGid(), token.GetGid(), static_cast<gid_t>(-1)) != 0) {
        UndoAndThrow(self, 1, "setresgid", context);
    }
    // The saved user id stays 0 (invariant 2); the real id changes too, so that checks made
    // against it (access(2), signal permissions) see the user as well.
    if (SetThreadUids(token.GetUid(), token.GetUid(), 0) != 0) {
        UndoAndThrow(self, 2, "setresuid", context);
    }
}

// Switched -> Own (invariants 4 and 6).
void SwitchBack(const ThreadIdentity& self) {
    if (SetThreadUids(kUnchangedUid, 0, kUnchangedUid) != 0) {
        ThrowPosixError("setresuid while reverting to root");
    }
    if (SetThreadUids(self.realUid, self.effectiveUid, self.savedUid) != 0) {
        ThrowPosixError("setresuid while reverting");
    }
    if (SetThreadGids(self.realGid, self.effectiveGid, self.savedGid) != 0) {
        ThrowPosixError("setresgid while reverting");
    }
    if (SetThreadGroups(self.groups) != 0) {
        ThrowPosixError("setgroups while reverting");
    }
}

bool IsSameUser(const ThreadIdentity& self, const std::string& userName,
                const Ref<UserToken>& token) {
    if (self.hasUid && token) {
        return self.uid == token->GetUid();
    }
    return self.userName == userName;
}

}  // namespace

bool ImpersonatorPosix::Impersonate(const std::string& userName, const Ref<UserToken>& token) {
    ThreadIdentity& self = t_identity;
    if (self.state != State::Own) {
        if (!IsSameUser(self, userName, token)) {
            Service::Log(Service::TryGetDefaultLogger(), Service::LogLevel::Error,
                         "Trying to impersonate %1 while impersonating a different user", userName);
        }
        return false;
    }
    if (_mode == Mode::Automatic && geteuid() == 0) {
        Ref<UserToken> identity = token;
        if (!identity) {
            CreateUserToken(userName, identity);
        }
        SwitchTo(*identity, self);
        self.state = State::Switched;
        self.userName = userName;
        self.hasUid = true;
        self.uid = identity->GetUid();
        return true;
    }
    self.state = State::Recorded;
    self.userName = userName;
    self.hasUid = static_cast<bool>(token);
    self.uid = token ? token->GetUid() : 0;
    return true;
}

void ImpersonatorPosix::Revert() {
    ThreadIdentity& self = t_identity;
    if (self.state == State::Switched) {
        SwitchBack(self);
    }
    self.state = State::Own;
    self.userName.clear();
    self.hasUid = false;
    self.groups.clear();
}

void ImpersonatorPosix::GetCurrentUserName(std::string& userName) {
    const ThreadIdentity& self = t_identity;
    if (self.state == State::Recorded) {
        userName = self.userName;
        return;
    }
    const uid_t uid = geteuid();
    if (!LookUpUserName(uid, userName)) {
        userName = std::to_string(uid);
    }
}

void SystemFactoryImpl::CreateImpersonator(Ref<Impersonator>& impersonator) {
    impersonator = Ref<Impersonator>(new ImpersonatorPosix());
}

}  // namespace Tarvos::System
