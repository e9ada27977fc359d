#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Ticket.h"
#include "tarvos/core/TicketManager.h"
#include "tarvos/core/internal/SessionRWLock.h"
#include "tarvos/core/internal/SessionTimer.h"

namespace Tarvos {

// The ticket manager (design note in TicketManagerImpl.cpp). The process-wide instance lives
// for the whole process; tests may make their own.
class TARVOS_INTERNAL TicketManagerImpl final : public TicketManager, public SessionRWLock {
public:
    TicketManagerImpl();
    ~TicketManagerImpl() override;

    bool Validate(const std::string& user, const std::string& ticketId) override;
    bool Validate(const Ref<Ticket>& ticket) override;
    void Remove(const Ref<Ticket>& ticket) override;
    void Add(const Ref<Ticket>& ticket) override;
    void Get(const std::string& ticketId, Ref<Ticket>& ticket) override;
    void SetThreadPool(const Ref<System::ThreadPool>& pool) override;

    // For tests: the number of stored tickets, and whether a sweep timer is pending.
    size_t GetSize();
    bool IsSweepPending();

private:
    struct Entry {
        Ref<Ticket> ticket;
        int64_t expiration;  // the expiration it is indexed under
    };

    struct Anchor;

    // The callback of sweep timer `generation`: takes the tickets whose time has passed out into
    // `removed` (released by the caller, after the lock).
    void Sweep(uint64_t generation, std::vector<Ref<Ticket>>& removed);
    // Starts using the calling thread's pool when no usable one is set. Write lock held.
    void AdoptThreadPoolLocked();

    // Fixed at construction. Sweep timers hold the anchor instead of the manager: the manager's
    // destructor clears it, and a timer that fires afterwards finds nothing.
    const std::shared_ptr<Anchor> _anchor;

    // Guarded by the manager's reader/writer lock.
    std::unordered_map<std::string, Entry> _tickets;
    std::set<std::pair<int64_t, std::string>> _expiry;
    SessionTimer _timer;
};

}  // namespace Tarvos
