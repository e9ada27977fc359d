#include "tarvos/authorize/ImpersonateManagerImpl.h"

#include <mutex>
#include <string>
#include <utility>

#include "tarvos/authorize/ImpersonateSessionObject.h"
#include "tarvos/core/Exception.h"
#include "tarvos/core/Panic.h"
#include "tarvos/service/Log.h"
#include "tarvos/system/SystemFactory.h"

namespace Tarvos::Impersonate {

namespace {

Ref<System::Impersonator> MakePlatformImpersonator() {
    Ref<System::Impersonator> impersonator;
    System::GetSystemFactory().CreateImpersonator(impersonator);
    return impersonator;
}

// The process-wide manager, guarded by g_managerMutex. A manager is only ever released outside
// the lock, so its destruction never runs under it.
std::mutex g_managerMutex;
Ref<ImpersonateManager> g_manager;

[[noreturn]] void ThrowNotInitialized() {
    Service::Log(Service::TryGetDefaultLogger(), Service::LogLevel::Error,
                 "Impersonation not initialized");
    throw NotInitializedException();
}

}  // namespace

ImpersonateManagerImpl::ImpersonateManagerImpl()
    : ImpersonateManagerImpl(MakePlatformImpersonator()) {}

ImpersonateManagerImpl::ImpersonateManagerImpl(Ref<System::Impersonator> impersonator)
    : _impersonator(std::move(impersonator)) {
    TARVOS_VERIFY(_impersonator);
}

ImpersonateManagerImpl::~ImpersonateManagerImpl() = default;

void ImpersonateManagerImpl::BeginImpersonation(Session& session, const std::string& userName,
                                                const Ref<System::UserToken>& token) {
    const Ref<SessionObject> context(new ImpersonateSessionObject(userName, token));
    session.SetSessionObject(kImpersonationContext, context);
    Service::Log(Service::TryGetDefaultLogger(), Service::LogLevel::Info,
                 "Impersonating user %1 in session %2", userName, session.GetId());
}

void ImpersonateManagerImpl::EndImpersonation(Session& session) {
    session.SetSessionObject(kImpersonationContext, nullptr);
    Service::Log(Service::TryGetDefaultLogger(), Service::LogLevel::Info,
                 "Stopped impersonating in session %1", session.GetId());
}

bool ImpersonateManagerImpl::IsImpersonating(const Session& session) {
    Ref<SessionObject> context;
    session.GetSessionObject(kImpersonationContext, context);
    return static_cast<bool>(context);
}

bool ImpersonateManagerImpl::ImpersonateThread(const Session& session) {
    Ref<SessionObject> object;
    session.GetSessionObject(kImpersonationContext, object);
    if (!object) {
        return false;
    }
    const Ref<ImpersonateSessionObject> context = RefCast<ImpersonateSessionObject>(object);
    if (!context) {
        throw TypeMismatchException(std::string("Session object ") + kImpersonationContext +
                                    " is a " + GetTypeName(*object) +
                                    ", not an ImpersonateSessionObject");
    }
    return _impersonator->Impersonate(context->GetUserName(), context->GetToken());
}

void ImpersonateManagerImpl::RevertThread() {
    _impersonator->Revert();
}

void ImpersonateManagerImpl::GetThreadUserName(std::string& userName) {
    _impersonator->GetCurrentUserName(userName);
}

void CreateImpersonateManager(Ref<ImpersonateManager>& manager) {
    Ref<ImpersonateManager> created;
    {
        std::lock_guard<std::mutex> guard(g_managerMutex);
        if (g_manager) {
            throw AlreadyInitializedException();
        }
        created = Ref<ImpersonateManager>(new ImpersonateManagerImpl());
        g_manager = created;
    }
    manager = std::move(created);
}

void GetImpersonateManager(Ref<ImpersonateManager>& manager) {
    Ref<ImpersonateManager> current;
    {
        std::lock_guard<std::mutex> guard(g_managerMutex);
        current = g_manager;
    }
    if (!current) {
        ThrowNotInitialized();
    }
    manager = std::move(current);
}

void BeginImpersonation(Session& session, const std::string& userName,
                        const Ref<System::UserToken>& token) {
    Ref<ImpersonateManager> manager;
    GetImpersonateManager(manager);
    manager->BeginImpersonation(session, userName, token);
}

void RemoveImpersonateManager() {
    Ref<ImpersonateManager> removed;
    {
        std::lock_guard<std::mutex> guard(g_managerMutex);
        removed = std::move(g_manager);
    }
}

}  // namespace Tarvos::Impersonate
