#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Ticket.h"
#include "tarvos/system/RWLockableObjectImpl.h"

namespace Tarvos {

// The reusable implementation of Ticket. Expirations are not special-cased: a ticket whose
// expiration is negative is expired from the start.
//
// Safe for concurrent use: the ticket's reader/writer lock (its RWLockableObject, a
// System::RWLock) is taken shared by the getters and exclusively by Use, Clear and assignment.
// Like every System::RWLock, waiting for it needs a thread of the library.
class TARVOS_API TicketMixin : public virtual Ticket, public System::RWLockableObjectImpl {
public:
    TicketMixin(std::string user, std::string ticketId, int32_t uses, int64_t expiration);
    // The same with a fresh random ticket id (a lower-case UUID text, 36 characters).
    TicketMixin(std::string user, int32_t uses, int64_t expiration);
    // Copies the four fields; the copy has its own lock.
    TicketMixin(const TicketMixin& other);
    TicketMixin& operator=(const TicketMixin& other);
    ~TicketMixin() override;

    std::string GetUser() const override;
    std::string GetTicketId() const override;
    int64_t GetExpiration() const override;
    void Use() override;
    void Clear() override;
    bool IsExpired() const override;

    int32_t GetRemainingUses() const;

    // A new random ticket id.
    static std::string GenerateTicketId();

private:
    // Guarded by the ticket's reader/writer lock.
    std::string _user;
    std::string _ticketId;
    int64_t _expiration;
    int32_t _remainingUses;
};

}  // namespace Tarvos
