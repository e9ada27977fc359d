#include "tarvos/core/TicketMixin.h"

#include <uuid/uuid.h>

#include <utility>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Session.h"
#include "tarvos/system/RWLock.h"

namespace Tarvos {

namespace {

// Taking the lock is not a change of the ticket's value: const accessors lock too.
System::RWLockableObject& Lockable(const TicketMixin& ticket) {
    return const_cast<TicketMixin&>(ticket);
}

}  // namespace

std::string TicketMixin::GenerateTicketId() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_lower(uuid, text);
    return std::string(text, 36);
}

TicketMixin::TicketMixin(std::string user, std::string ticketId, int32_t uses, int64_t expiration)
    : _user(std::move(user)),
      _ticketId(std::move(ticketId)),
      _expiration(expiration),
      _remainingUses(uses) {}

TicketMixin::TicketMixin(std::string user, int32_t uses, int64_t expiration)
    : TicketMixin(std::move(user), GenerateTicketId(), uses, expiration) {}

TicketMixin::TicketMixin(const TicketMixin& other)
    : Object(), Ticket(), RWLockableObject(), ObjectImpl(), RWLockableObjectImpl() {
    System::ScopedReadLock lock(Lockable(other));
    _user = other._user;
    _ticketId = other._ticketId;
    _expiration = other._expiration;
    _remainingUses = other._remainingUses;
}

TicketMixin& TicketMixin::operator=(const TicketMixin& other) {
    if (this == &other) {
        return *this;
    }
    // One lock at a time: holding both could deadlock against an assignment the other way.
    std::string user, ticketId;
    int64_t expiration;
    int32_t uses;
    {
        System::ScopedReadLock lock(Lockable(other));
        user = other._user;
        ticketId = other._ticketId;
        expiration = other._expiration;
        uses = other._remainingUses;
    }
    System::ScopedWriteLock lock(*this);
    _user = std::move(user);
    _ticketId = std::move(ticketId);
    _expiration = expiration;
    _remainingUses = uses;
    return *this;
}

TicketMixin::~TicketMixin() = default;

std::string TicketMixin::GetUser() const {
    System::ScopedReadLock lock(Lockable(*this));
    return _user;
}

std::string TicketMixin::GetTicketId() const {
    System::ScopedReadLock lock(Lockable(*this));
    return _ticketId;
}

int64_t TicketMixin::GetExpiration() const {
    System::ScopedReadLock lock(Lockable(*this));
    return _expiration;
}

int32_t TicketMixin::GetRemainingUses() const {
    System::ScopedReadLock lock(Lockable(*this));
    return _remainingUses;
}

void TicketMixin::Use() {
    const int64_t now = SessionNow();
    {
        System::ScopedWriteLock lock(*this);
        if (_remainingUses > 0 && _expiration >= now) {
            _remainingUses -= 1;
            return;
        }
    }
    // Made after the lock: making an exception captures a backtrace and may log it.
    throw TicketExpiredException();
}

void TicketMixin::Clear() {
    System::ScopedWriteLock lock(*this);
    _user.clear();
    _ticketId.clear();
    _expiration = 0;
    _remainingUses = 0;
}

bool TicketMixin::IsExpired() const {
    const int64_t now = SessionNow();
    System::ScopedReadLock lock(Lockable(*this));
    return _remainingUses < 1 || now > _expiration;
}

}  // namespace Tarvos
