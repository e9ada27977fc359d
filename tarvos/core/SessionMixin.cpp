// A client session.
//
// States: open (from construction) -> closed (CloseSession, once). Only SetSessionObject looks
// at the state; every other accessor works the same on a closed session.
//
// Invariants:
//  1. Every field is read and written under the session mutex; _closed is also read without it.
//  2. _closed goes from 0 to 1 exactly once, by compare-and-swap, in the same critical section
//     that takes the session objects and the auth data out. So an object is either taken out
//     and notified by the closing call, or refused by SetSessionObject (which tests _closed
//     under the mutex); none is left behind unnotified in a closed session.
//  3. No call leaves the session while its mutex is held, and no reference is dropped under it:
//     the destructor of a released object may call back into the session.

#include "tarvos/core/SessionMixin.h"

#include <chrono>
#include <exception>

#include "tarvos/core/Exception.h"
#include "tarvos/core/SessionPool.h"
#include "tarvos/service/Log.h"

namespace Tarvos {

namespace {

// Locking is not a change of the session's value: const accessors lock too.
System::LockableObject& Lockable(const SessionMixin& session) {
    return const_cast<SessionMixin&>(session);
}

}  // namespace

int64_t SessionNow() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

SessionMixin::SessionMixin(std::string id) : _id(std::move(id)), _creationTime(SessionNow()) {}

SessionMixin::SessionMixin(const SessionMixin& other)
    : Object(), Session(), LockableObject(), ObjectImpl(), LockableObjectImpl() {
    // Own fields are not shared yet: only the source needs its lock.
    System::ScopedLock lock(Lockable(other));
    _authData = other._authData;
    _sessionObjects = other._sessionObjects;
    _attachment = other._attachment;
    _bindings = other._bindings;
    _id = other._id;
    _creationTime = other._creationTime;
    _expiration = other._expiration;
    _owner = other._owner;
    _closed.store(other._closed.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

SessionMixin& SessionMixin::operator=(const SessionMixin& other) {
    if (this == &other) {
        return *this;
    }
    // Taken from the source under its lock alone, then swapped in under ours: holding both
    // locks at once could deadlock against an assignment in the other direction.
    SessionMixin copy(other);
    {
        System::ScopedLock lock(*this);
        std::swap(_authData, copy._authData);
        std::swap(_sessionObjects, copy._sessionObjects);
        std::swap(_attachment, copy._attachment);
        std::swap(_bindings, copy._bindings);
        std::swap(_id, copy._id);
        std::swap(_creationTime, copy._creationTime);
        std::swap(_expiration, copy._expiration);
        std::swap(_owner, copy._owner);
        _closed.store(copy._closed.load(std::memory_order_relaxed), std::memory_order_release);
    }
    // `copy` now holds our former references and releases them here, without the lock.
    return *this;
}

SessionMixin::~SessionMixin() = default;

std::string SessionMixin::GetId() const {
    System::ScopedLock lock(Lockable(*this));
    return _id;
}

void SessionMixin::GetBinding(System::BindingKind kind, Ref<System::BindingInfo>& binding,
                              Ref<Object>& object) const {
    Ref<System::BindingInfo> foundBinding;
    Ref<Object> foundObject;
    {
        System::ScopedLock lock(Lockable(*this));
        for (const auto& [info, associated] : _bindings) {
            if (info && info->GetKind() == kind) {
                foundBinding = info;
                foundObject = associated;
                break;
            }
        }
    }
    if (foundBinding) {
        // Assigned after the lock: the outputs may hold the last references to other objects.
        binding = std::move(foundBinding);
        object = std::move(foundObject);
    }
}

void SessionMixin::GetAuthData(Ref<SessionAuthData>& authData) const {
    Ref<SessionAuthData> current;
    {
        System::ScopedLock lock(Lockable(*this));
        current = _authData;
    }
    authData = std::move(current);
}

void SessionMixin::SetAuthData(const Ref<SessionAuthData>& authData) {
    Ref<SessionAuthData> previous = authData;
    {
        System::ScopedLock lock(*this);
        std::swap(_authData, previous);
    }
}

void SessionMixin::GetSessionObject(const std::string& name, Ref<SessionObject>& object) const {
    Ref<SessionObject> found;
    {
        System::ScopedLock lock(Lockable(*this));
        auto it = _sessionObjects.find(name);
        if (it != _sessionObjects.end()) {
            found = it->second;
        }
    }
    object = std::move(found);
}

void SessionMixin::SetSessionObject(const std::string& name, const Ref<SessionObject>& object) {
    Ref<SessionObject> removed;
    {
        System::ScopedLock lock(*this);
        if (_closed.load(std::memory_order_relaxed) != 0) {
            throw InvalidStateException();
        }
        auto it = _sessionObjects.find(name);
        if (it == _sessionObjects.end()) {
            if (object) {
                _sessionObjects.emplace(name, object);
            }
        } else if (object) {
            throw AlreadyExistsException();
        } else {
            removed = std::move(it->second);
            _sessionObjects.erase(it);
        }
    }
}

void SessionMixin::SetAttachment(const Ref<Object>& attachment) {
    Ref<Object> previous = attachment;
    {
        System::ScopedLock lock(*this);
        std::swap(_attachment, previous);
    }
}

void SessionMixin::GetAttachment(Ref<Object>& attachment) const {
    Ref<Object> current;
    {
        System::ScopedLock lock(Lockable(*this));
        current = _attachment;
    }
    attachment = std::move(current);
}

bool SessionMixin::IsExpired() const {
    const int64_t expiration = GetExpiration();
    return expiration >= 0 && SessionNow() > expiration;
}

int64_t SessionMixin::GetExpiration() const {
    System::ScopedLock lock(Lockable(*this));
    return _expiration;
}

void SessionMixin::SetExpiration(int64_t expiration) {
    Ref<SessionPool> owner;
    {
        System::ScopedLock lock(*this);
        _expiration = expiration;
        owner = _owner;
    }
    if (owner) {
        owner->Add(Ref<Session>(this));
    }
}

int64_t SessionMixin::GetCreationTime() const {
    System::ScopedLock lock(Lockable(*this));
    return _creationTime;
}

void SessionMixin::CloseSession() {
    const std::string id = GetId();
    Service::Log(Service::TryGetDefaultLogger(), Service::LogLevel::Trivia,
                 "CloseSession called for session id=%1", id);

    ObjectMap objects;
    Ref<SessionAuthData> authData;
    bool closedHere = false;
    {
        System::ScopedLock lock(*this);
        objects.swap(_sessionObjects);
        authData = std::move(_authData);
        int32_t expected = 0;
        closedHere = _closed.compare_exchange_strong(expected, 1, std::memory_order_acq_rel);
    }
    if (!closedHere) {
        return;
    }

    // A close notification that throws must not cost the others theirs.
    std::exception_ptr firstFailure;
    for (auto& [name, object] : objects) {
        try {
            object->OnSessionClosed();
        } catch (...) {
            if (!firstFailure) {
                firstFailure = std::current_exception();
            }
        }
    }
    if (authData) {
        try {
            authData->OnSessionClosed();
        } catch (...) {
            if (!firstFailure) {
                firstFailure = std::current_exception();
            }
        }
    }
    if (firstFailure) {
        std::rethrow_exception(firstFailure);
    }
}

void SessionMixin::AddBinding(const Ref<System::BindingInfo>& binding, const Ref<Object>& object) {
    System::ScopedLock lock(*this);
    _bindings.emplace_back(binding, object);
}

void SessionMixin::SetOwner(const Ref<SessionPool>& owner) {
    Ref<SessionPool> previous = owner;
    {
        System::ScopedLock lock(*this);
        std::swap(_owner, previous);
    }
}

void SessionMixin::GetOwner(Ref<SessionPool>& owner) const {
    Ref<SessionPool> current;
    {
        System::ScopedLock lock(Lockable(*this));
        current = _owner;
    }
    owner = std::move(current);
}

}  // namespace Tarvos
