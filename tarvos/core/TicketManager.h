#pragma once

#include <string>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Ticket.h"
#include "tarvos/system/ThreadPool.h"

namespace Tarvos {

// The process's tickets by ticket id. A ticket stays until Remove, or until a sweep timer finds
// its expiration passed (the expiration it had when it was added); a ticket that is spent or
// past its time but not yet swept still answers every Get with TicketExpiredException.
//
// Sweeps run as one-shot timers of a thread pool: the one given to SetThreadPool, else the pool
// of the first thread of a pool that adds a ticket (and again whenever the pool in use has
// begun to shut down). Without any, tickets are not swept; they still expire through Use.
//
// Safe for concurrent use, from any thread: one reader/writer lock, taken shared by Get and
// exclusively by the changes. Use runs after that lock is released, under the ticket's own
// rules (TicketMixin's lock needs a thread of the library to wait).
class TARVOS_API TicketManager : public virtual Object {
public:
    // True when Get(ticketId) yields a ticket whose user is exactly `user`, false when there is
    // no such ticket; spends a use either way, and throws TicketExpiredException for a spent or
    // expired ticket.
    virtual bool Validate(const std::string& user, const std::string& ticketId) = 0;
    // The same with the ticket's own user and id (InvalidArgumentException for null).
    virtual bool Validate(const Ref<Ticket>& ticket) = 0;
    // Removes the entry of the ticket's id; NotFoundException when there is none,
    // InvalidArgumentException for null.
    virtual void Remove(const Ref<Ticket>& ticket) = 0;
    // Stores the ticket under its id; AlreadyExistsException when the id is taken,
    // InvalidArgumentException for null.
    virtual void Add(const Ref<Ticket>& ticket) = 0;
    // Sets `ticket` to null, then, when the id is known, spends a use of that ticket (Use, which
    // may throw TicketExpiredException) and delivers it.
    virtual void Get(const std::string& ticketId, Ref<Ticket>& ticket) = 0;
    // Sweeps on `pool` from now on (null: on the pool of the next thread that adds a ticket).
    virtual void SetThreadPool(const Ref<System::ThreadPool>& pool) = 0;
};

// The process-wide ticket manager, made on first call and kept for the life of the process.
TARVOS_API void GetTicketManager(Ref<TicketManager>& manager);

}  // namespace Tarvos
