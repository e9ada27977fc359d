#pragma once

#include <string>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"
#include "tarvos/system/UserToken.h"

namespace Tarvos::System {

// Switches the calling thread to another user's identity and back (made by
// SystemFactory::CreateImpersonator). Impersonation is a property of the calling thread, not of
// the object: every operation acts on the thread that calls it, so a thread that impersonates
// must revert before it goes back to other work (a pool task reverts before it returns).
//
// Thread-safety: safe for concurrent use; threads never see each other's identity.
class TARVOS_API Impersonator : public virtual Object {
public:
    // Makes the calling thread run as `userName`, whose identity `token` carries (it may be null:
    // the user is then looked up by name where the identity must be known). Returns true when
    // the thread took on the identity. When the thread already impersonates, returns false and
    // keeps its current identity; if the request is for a different user it also logs the error
    // line "Trying to impersonate <user> while impersonating a different user" through the
    // default logger. Throws UnknownUserException when the user must be looked up and does not
    // exist, PosixSystemException when the switch fails (the thread is then left unchanged).
    virtual bool Impersonate(const std::string& userName, const Ref<UserToken>& token) = 0;

    // Returns the calling thread to the identity it had before Impersonate; a thread that does
    // not impersonate is left unchanged. Throws PosixSystemException when the switch back fails
    // (the thread still counts as impersonating, so Revert may be called again).
    virtual void Revert() = 0;

    // The calling thread's current user name: the name of its effective user (the decimal user
    // id when the user database has no name for it), or, where the thread only records the
    // impersonated name, that name. Throws PosixSystemException when the user database cannot
    // be read.
    virtual void GetCurrentUserName(std::string& userName) = 0;
};

}  // namespace Tarvos::System
