#pragma once

#include <string>

#include "tarvos/authorize/ImpersonateManager.h"
#include "tarvos/core/Ref.h"
#include "tarvos/system/Impersonator.h"
#include "tarvos/system/LockableObjectImpl.h"

namespace Tarvos::Impersonate {

// The ImpersonateManager. It keeps no mutable state of its own: the sessions hold the
// impersonation contexts (under their own locks) and the Impersonator holds the per-thread
// identities, so no operation takes the manager's lock.
//
// Safe for concurrent use.
class TARVOS_API ImpersonateManagerImpl : public ImpersonateManager,
                                          public System::LockableObjectImpl {
public:
    // Over the platform Impersonator from the SystemFactory.
    ImpersonateManagerImpl();
    // Over the given Impersonator (not null).
    explicit ImpersonateManagerImpl(Ref<System::Impersonator> impersonator);
    ~ImpersonateManagerImpl() override;

    void BeginImpersonation(Session& session, const std::string& userName,
                            const Ref<System::UserToken>& token) override;
    void EndImpersonation(Session& session) override;
    bool IsImpersonating(const Session& session) override;
    bool ImpersonateThread(const Session& session) override;
    void RevertThread() override;
    void GetThreadUserName(std::string& userName) override;

private:
    const Ref<System::Impersonator> _impersonator;
};

}  // namespace Tarvos::Impersonate
