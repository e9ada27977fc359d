#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tarvos/core/Ref.h"
#include "tarvos/core/Session.h"
#include "tarvos/system/BindingInfo.h"
#include "tarvos/system/LockableObjectImpl.h"

namespace Tarvos {

// The reusable implementation of Session: derive from it and add what the owner needs.
//
// One mutex (the LockableObject of the session) guards every field; each operation holds it for
// one field access only. References that an operation replaces or removes are released after
// the lock, and every call out of the session (close notifications, the owner's
// SessionPool::Add, logging) runs without it, so those callees may call back into the session.
// The closed flag changes from 0 to 1 once, by compare-and-swap.
//
// Safe for concurrent use.
class TARVOS_API SessionMixin : public virtual Session, public System::LockableObjectImpl {
public:
    // A new open session with the given id, created now and never expiring.
    explicit SessionMixin(std::string id);
    // Copies all fields of `other` (auth data, session objects, attachment, bindings, id,
    // creation time, expiration, owner, closed flag); references are shared, not cloned. The copy
    // has its own lock. Note that a copy of a pooled session shares its owner: the pool refuses
    // the copy's SetExpiration (AlreadyExistsException) as long as the original is pooled.
    SessionMixin(const SessionMixin& other);
    // The same for an existing session; self-assignment does nothing.
    SessionMixin& operator=(const SessionMixin& other);
    ~SessionMixin() override;

    std::string GetId() const override;
    // `kind` must be one of the BindingKind values.
    void GetBinding(System::BindingKind kind, Ref<System::BindingInfo>& binding,
                    Ref<Object>& object) const override;
    void GetAuthData(Ref<SessionAuthData>& authData) const override;
    void SetAuthData(const Ref<SessionAuthData>& authData) override;
    void GetSessionObject(const std::string& name, Ref<SessionObject>& object) const override;
    void SetSessionObject(const std::string& name, const Ref<SessionObject>& object) override;
    void SetAttachment(const Ref<Object>& attachment) override;
    void GetAttachment(Ref<Object>& attachment) const override;
    bool IsExpired() const override;
    int64_t GetExpiration() const override;
    void SetExpiration(int64_t expiration) override;
    int64_t GetCreationTime() const override;
    // Logs "CloseSession called for session id=<id>" at level trivia through the default logger
    // (when one is set), then takes the session objects and the auth data out of the session
    // and marks it closed. The call that closed it notifies every removed object in name order,
    // then the auth data; one notification that throws does not keep the others from running,
    // and the first exception is rethrown once all were notified. Later calls release what they
    // took out (nothing that was there at the close) and notify nobody.
    void CloseSession() override;
    void AddBinding(const Ref<System::BindingInfo>& binding, const Ref<Object>& object) override;
    void SetOwner(const Ref<SessionPool>& owner) override;
    void GetOwner(Ref<SessionPool>& owner) const override;

    // Whether CloseSession has run.
    bool IsClosed() const noexcept { return _closed.load(std::memory_order_acquire) != 0; }

private:
    using ObjectMap = std::map<std::string, Ref<SessionObject>>;
    using BindingList = std::vector<std::pair<Ref<System::BindingInfo>, Ref<Object>>>;

    // Guarded by the session lock, in this order.
    Ref<SessionAuthData> _authData;
    ObjectMap _sessionObjects;
    Ref<Object> _attachment;
    BindingList _bindings;
    std::string _id;
    int64_t _creationTime;
    int64_t _expiration = kNever;
    Ref<SessionPool> _owner;
    // Read without the lock; changed from 0 to 1 under it, by compare-and-swap (assignment also
    // copies it under the lock).
    std::atomic<int32_t> _closed{0};
};

}  // namespace Tarvos
