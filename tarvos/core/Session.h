#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"
#include "tarvos/system/BindingInfo.h"

namespace Tarvos {

class SessionPool;

// Times in sessions and tickets are microseconds since 1970-01-01 00:00 UTC from the system
// clock; kNever (-1) stands for "never".
constexpr int64_t kNever = -1;

// The current time in that unit.
TARVOS_API int64_t SessionNow();

// An extension object that a subsystem keeps in a session under a name. Implementations say
// their own thread-safety.
class TARVOS_API SessionObject : public virtual Object {
public:
    // The session was closed; called once, outside every session and pool lock, after the
    // object was removed from the session.
    virtual void OnSessionClosed() = 0;
};

// The identity that logged in to a session.
class TARVOS_API SessionAuthData : public virtual Object {
public:
    virtual std::string GetUserName() const = 0;
    // The session was closed; called once, outside every lock, after the auth data was removed
    // from the session.
    virtual void OnSessionClosed() = 0;
};

// The server-side state of one client. Safe for concurrent use: every operation takes the
// session's own lock for one field access; notifications run without it.
class TARVOS_API Session : public virtual Object {
public:
    virtual std::string GetId() const = 0;
    // The first binding of `kind` with the object stored beside it; both outputs are left
    // untouched when there is none. Only BindingKind::Tcp and BindingKind::NamedPipe exist.
    virtual void GetBinding(System::BindingKind kind, Ref<System::BindingInfo>& binding,
                            Ref<Object>& object) const = 0;
    virtual void GetAuthData(Ref<SessionAuthData>& authData) const = 0;
    virtual void SetAuthData(const Ref<SessionAuthData>& authData) = 0;
    // The object stored under `name`, or null.
    virtual void GetSessionObject(const std::string& name, Ref<SessionObject>& object) const = 0;
    // Inserts a non-null object under a new name; a null object removes the name. Throws
    // AlreadyExistsException for a non-null object under a taken name and InvalidStateException
    // once the session is closed.
    virtual void SetSessionObject(const std::string& name, const Ref<SessionObject>& object) = 0;
    // A reference kept for the session's owner; may be null.
    virtual void SetAttachment(const Ref<Object>& attachment) = 0;
    virtual void GetAttachment(Ref<Object>& attachment) const = 0;
    // False while the expiration is negative (kNever), else whether now is later than the
    // expiration.
    virtual bool IsExpired() const = 0;
    virtual int64_t GetExpiration() const = 0;
    // Stores the expiration, then (without the session lock) hands the session to the owner's
    // SessionPool::Add, if an owner is set. Exceptions of that call reach the caller; the new
    // expiration stays stored.
    virtual void SetExpiration(int64_t expiration) = 0;
    virtual int64_t GetCreationTime() const = 0;
    // Closes the session once: its objects and auth data are removed and notified; later calls
    // do nothing.
    virtual void CloseSession() = 0;
    // Appends a binding and the object kept beside it.
    virtual void AddBinding(const Ref<System::BindingInfo>& binding, const Ref<Object>& object) = 0;
    // The pool told of expiration changes; may be null. SessionPool::Add sets it and the pool
    // clears it when the session leaves; the reference a pool installs does not keep the pool
    // alive, so that pool and sessions never hold each other.
    virtual void SetOwner(const Ref<SessionPool>& owner) = 0;
    virtual void GetOwner(Ref<SessionPool>& owner) const = 0;
};

}  // namespace Tarvos
