#pragma once

#include <string>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Session.h"
#include "tarvos/system/UserToken.h"

namespace Tarvos::Impersonate {

// The name under which a session keeps its ImpersonateSessionObject.
inline constexpr char kImpersonationContext[] = "ImpersonationContext";

// What a session needs to run its client's work under the client's identity: the user name and
// the user's token (may be null). The token lives as long as this object, which the session
// drops on EndImpersonation or when it closes.
//
// Immutable; safe for concurrent use.
class TARVOS_API ImpersonateSessionObject : public SessionObject, public ObjectImpl {
public:
    ImpersonateSessionObject(std::string userName, Ref<System::UserToken> token);
    ~ImpersonateSessionObject() override;

    const std::string& GetUserName() const noexcept { return _userName; }
    const Ref<System::UserToken>& GetToken() const noexcept { return _token; }

    // Nothing to do: the session has already dropped this object, and the token goes with the
    // last reference.
    void OnSessionClosed() override;

private:
    const std::string _userName;
    const Ref<System::UserToken> _token;
};

}  // namespace Tarvos::Impersonate
