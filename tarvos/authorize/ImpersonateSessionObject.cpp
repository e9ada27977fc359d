#include "tarvos/authorize/ImpersonateSessionObject.h"

#include <utility>

namespace Tarvos::Impersonate {

ImpersonateSessionObject::ImpersonateSessionObject(std::string userName,
                                                   Ref<System::UserToken> token)
    : _userName(std::move(userName)), _token(std::move(token)) {}

ImpersonateSessionObject::~ImpersonateSessionObject() = default;

void ImpersonateSessionObject::OnSessionClosed() {}

}  // namespace Tarvos::Impersonate
