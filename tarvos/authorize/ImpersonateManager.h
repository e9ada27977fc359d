#pragma once

#include <string>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Session.h"
#include "tarvos/system/UserToken.h"

namespace Tarvos::Impersonate {

// Keeps, per client session, the user whose identity the session's work runs under, and switches
// the calling thread to that identity on request. The session part lives in the session (an
// ImpersonateSessionObject under kImpersonationContext); the thread part is the calling
// thread's, so a task that impersonates must call RevertThread before it ends.
//
// Safe for concurrent use.
class TARVOS_API ImpersonateManager : public virtual Object {
public:
    // Stores `userName` and `token` (may be null) in `session` and logs "Impersonating user
    // <user> in session <id>" at level info through the default logger. Throws
    // AlreadyExistsException when the session already holds an impersonation context and
    // InvalidStateException when it is closed.
    virtual void BeginImpersonation(Session& session, const std::string& userName,
                                    const Ref<System::UserToken>& token) = 0;
    // Removes the session's impersonation context (nothing to remove is no error) and logs
    // "Stopped impersonating in session <id>" at level info. Throws InvalidStateException when
    // the session is closed (closing already removed the context).
    virtual void EndImpersonation(Session& session) = 0;
    // Whether the session holds an impersonation context.
    virtual bool IsImpersonating(const Session& session) = 0;
    // Makes the calling thread take on the identity stored in the session. Returns false, and
    // leaves the thread unchanged, when the session holds no impersonation context; otherwise
    // returns what the platform Impersonator's Impersonate returns (false when the thread
    // already impersonates). Throws TypeMismatchException when the context is an object of
    // another class, and whatever Impersonate throws.
    virtual bool ImpersonateThread(const Session& session) = 0;
    // Returns the calling thread to its own identity (nothing happens when it does not
    // impersonate); throws what the Impersonator's Revert throws.
    virtual void RevertThread() = 0;
    // The calling thread's current user name (Impersonator::GetCurrentUserName).
    virtual void GetThreadUserName(std::string& userName) = 0;
};

// The process-wide manager. The application creates it at start-up when impersonation is
// configured and removes it at shutdown. All four functions are thread-safe.

// Creates the process-wide manager over the platform Impersonator and delivers it into
// `manager`. Throws AlreadyInitializedException when one exists.
TARVOS_API void CreateImpersonateManager(Ref<ImpersonateManager>& manager);
// Delivers the process-wide manager into `manager`. When there is none, logs "Impersonation not
// initialized" at level error through the default logger and throws NotInitializedException.
TARVOS_API void GetImpersonateManager(Ref<ImpersonateManager>& manager);
// BeginImpersonation through the process-wide manager; without one, logs and throws as
// GetImpersonateManager does.
TARVOS_API void BeginImpersonation(Session& session, const std::string& userName,
                                   const Ref<System::UserToken>& token);
// Drops the process-wide manager, if any (holders of a reference keep theirs); a later
// CreateImpersonateManager makes a new one.
TARVOS_API void RemoveImpersonateManager();

}  // namespace Tarvos::Impersonate
