#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Object.h"

namespace Tarvos {

// A short-lived credential: a user name, a ticket id, an expiration (microseconds since 1970,
// see SessionNow) and a number of remaining uses. Implementations say their thread-safety.
class TARVOS_API Ticket : public virtual Object {
public:
    virtual std::string GetUser() const = 0;
    virtual std::string GetTicketId() const = 0;
    virtual int64_t GetExpiration() const = 0;
    // Spends one use: when uses remain and the expiration is not earlier than now, one fewer
    // remains; otherwise throws TicketExpiredException and nothing changes.
    virtual void Use() = 0;
    // Empties user and ticket id and sets expiration and remaining uses to 0.
    virtual void Clear() = 0;
    // True when fewer than one use remains or now is later than the expiration.
    virtual bool IsExpired() const = 0;
};

}  // namespace Tarvos
