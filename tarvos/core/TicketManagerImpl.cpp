// The ticket manager.
//
// A stored ticket has an entry in _tickets (ticket, the expiration it had when added) and the
// pair (that expiration, id) in _expiry. Tickets leave by Remove or by a sweep, which takes out
// every ticket whose indexed expiration is earlier than its "now" and schedules the next sweep
// for the earliest one left. A spent ticket stays until its time has passed.
//
// Sweep timers follow the session pool's rule (SessionTimer): one pending timer due no later
// than the earliest indexed expiration; a replaced timer that could not be cancelled fires
// unheeded. Their tasks hold the anchor, not the manager.
//
// Invariants (under the write lock):
//  1. _expiry holds exactly the pairs (e.expiration, id) of the entries; ids are unique.
//  2. Whenever _expiry is not empty after Add, SetThreadPool or a sweep, a timer is pending that
//     is due no later than its first expiration, or no usable thread pool exists.
//  3. Use runs, and tickets that may be the last references are released, without the lock.

#include "tarvos/core/internal/TicketManagerImpl.h"

#include <mutex>
#include <shared_mutex>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Session.h"
#include "tarvos/system/RWLock.h"
#include "tarvos/system/Thread.h"

namespace Tarvos {

struct TicketManagerImpl::Anchor {
    std::shared_mutex mutex;
    TicketManagerImpl* manager;  // guarded by mutex; null once the manager is destroyed
};

TicketManagerImpl::TicketManagerImpl()
    : _anchor(std::make_shared<Anchor>()), _timer([anchor = _anchor](uint64_t generation) {
          return System::MakeTask([anchor, generation] {
              std::vector<Ref<Ticket>> removed;
              std::shared_lock<std::shared_mutex> hold(anchor->mutex);
              if (anchor->manager != nullptr) {
                  anchor->manager->Sweep(generation, removed);
              }
              hold.unlock();
          });
      }) {
    _anchor->manager = this;
}

TicketManagerImpl::~TicketManagerImpl() {
    std::unique_lock<std::shared_mutex> hold(_anchor->mutex);
    _anchor->manager = nullptr;
}

bool TicketManagerImpl::Validate(const std::string& user, const std::string& ticketId) {
    Ref<Ticket> ticket;
    Get(ticketId, ticket);
    return ticket && ticket->GetUser() == user;
}

bool TicketManagerImpl::Validate(const Ref<Ticket>& ticket) {
    if (!ticket) {
        throw InvalidArgumentException("TicketManager::Validate: null ticket");
    }
    return Validate(ticket->GetUser(), ticket->GetTicketId());
}

void TicketManagerImpl::Remove(const Ref<Ticket>& ticket) {
    if (!ticket) {
        throw InvalidArgumentException("TicketManager::Remove: null ticket");
    }
    const std::string id = ticket->GetTicketId();
    Ref<Ticket> removed;
    {
        System::ScopedWriteLock lock(*this);
        auto it = _tickets.find(id);
        if (it != _tickets.end()) {
            removed = std::move(it->second.ticket);
            _expiry.erase({it->second.expiration, id});
            _tickets.erase(it);
        }
    }
    if (!removed) {
        throw NotFoundException();
    }
}

void TicketManagerImpl::Add(const Ref<Ticket>& ticket) {
    if (!ticket) {
        throw InvalidArgumentException("TicketManager::Add: null ticket");
    }
    {
        System::ScopedWriteLock lock(*this);
        std::string id = ticket->GetTicketId();
        if (_tickets.find(id) == _tickets.end()) {
            const int64_t expiration = ticket->GetExpiration();
            _tickets.emplace(id, Entry{ticket, expiration});
            _expiry.emplace(expiration, std::move(id));
            AdoptThreadPoolLocked();
            _timer.ScheduleBy(_expiry.begin()->first, SessionNow());
            return;
        }
    }
    throw AlreadyExistsException();
}

void TicketManagerImpl::Get(const std::string& ticketId, Ref<Ticket>& ticket) {
    ticket.Reset();
    Ref<Ticket> found;
    {
        System::ScopedReadLock lock(*this);
        auto it = _tickets.find(ticketId);
        if (it == _tickets.end()) {
            return;
        }
        found = it->second.ticket;
    }
    found->Use();
    ticket = std::move(found);
}

void TicketManagerImpl::SetThreadPool(const Ref<System::ThreadPool>& pool) {
    System::ScopedWriteLock lock(*this);
    _timer.SetThreadPool(pool);
    if (!_expiry.empty()) {
        _timer.ScheduleBy(_expiry.begin()->first, SessionNow());
    }
}

void TicketManagerImpl::AdoptThreadPoolLocked() {
    if (_timer.GetUsableThreadPool()) {
        return;
    }
    if (System::Thread* current = System::Thread::TryGetCurrent()) {
        Ref<System::ThreadPool> pool = current->GetThreadPool();
        if (pool && !pool->IsShuttingDown()) {
            _timer.SetThreadPool(pool);
        }
    }
}

void TicketManagerImpl::Sweep(uint64_t generation, std::vector<Ref<Ticket>>& removed) {
    System::ScopedWriteLock lock(*this);
    _timer.Fired(generation);
    const int64_t now = SessionNow();
    while (!_expiry.empty() && _expiry.begin()->first < now) {
        auto first = _expiry.begin();
        auto it = _tickets.find(first->second);
        if (it != _tickets.end()) {
            removed.push_back(std::move(it->second.ticket));
            _tickets.erase(it);
        }
        _expiry.erase(first);
    }
    if (!_expiry.empty()) {
        _timer.ScheduleBy(_expiry.begin()->first, now);
    }
}

size_t TicketManagerImpl::GetSize() {
    System::ScopedReadLock lock(*this);
    return _tickets.size();
}

bool TicketManagerImpl::IsSweepPending() {
    System::ScopedReadLock lock(*this);
    return _timer.IsPending();
}

void GetTicketManager(Ref<TicketManager>& manager) {
    // Never destroyed: timers and other threads may reach it until the process ends.
    static TicketManagerImpl* const instance = [] {
        auto* created = new TicketManagerImpl();
        created->IncRef();
        return created;
    }();
    manager = Ref<TicketManager>(instance);
}

}  // namespace Tarvos
