// The session pool.
//
// A pooled session has an entry in _sessions (session, the expiration it is indexed under) and,
// when that expiration is finite (>= 0), a pair (expiration, id) in _expiry. Sessions leave by
// Remove or by a sweep, which both close them after the pool's lock is released.
//
// Ownership: pool -> link, pool -> sessions, session -> link (its owner), pending timer task ->
// link. Nothing refers to the pool itself, so dropping the last outside reference destroys it;
// its destructor detaches the link, after which the sessions' SetExpiration and pending timers
// do nothing.
//
// Sweeps: one pending one-shot timer on the thread pool (SessionTimer) due no later than the
// earliest indexed expiration. Add brings it forward when an earlier expiration arrives; a
// sweep takes out every session whose expiration is earlier than its "now" (one due exactly
// then stays), and schedules the next timer for the earliest entry left. Cancelling works only
// on the thread pool's own threads; an Add elsewhere leaves the replaced timer to fire unheeded.
//
// The pool's reader/writer lock is a SessionRWLock: a lookup takes and releases its read hold
// with one atomic operation each, so concurrent lookups do not queue behind one another.
//
// Invariants (under the write lock unless a reader is named):
//  1. _expiry holds exactly one pair (e.expiration, id) for each entry e with e.expiration >= 0
//     and nothing else; ids are unique, so the pairs are too.
//  2. Each pooled session's owner is _link, set by Add; Remove and the sweep clear it in the
//     same critical section that takes the entry out, and the owner path of Add ignores a
//     session whose owner is not _link. So a session that left is never taken back in by a late
//     SetExpiration.
//  3. Whenever _expiry is not empty after Add or a sweep, a timer is pending that is due no
//     later than its first expiration, or no usable thread pool exists.
//  4. No session is closed, no auth data asked for its user name and no session reference that
//     may be the last one released while the pool's lock or a hold on the link is held.

#include "tarvos/core/internal/SessionPoolImpl.h"

#include <exception>
#include <mutex>

#include "tarvos/core/Exception.h"
#include "tarvos/service/Log.h"
#include "tarvos/system/RWLock.h"
#include "tarvos/system/Thread.h"

namespace Tarvos {

// ---------------------------------------------------------------------------------------------
// Link

void SessionPoolLink::Add(const Ref<Session>& session) {
    std::shared_lock<std::shared_mutex> hold(_mutex);
    if (_pool != nullptr) {
        _pool->Update(session, true);
    }
}

bool SessionPoolLink::Remove(const std::string& id) {
    Ref<Session> removed;
    {
        std::shared_lock<std::shared_mutex> hold(_mutex);
        if (_pool == nullptr) {
            return false;
        }
        removed = _pool->TakeOut(id);
    }
    if (!removed) {
        return false;
    }
    removed->CloseSession();
    return true;
}

bool SessionPoolLink::Lookup(const std::string& id, Ref<Session>& session) {
    Ref<Session> found;
    {
        std::shared_lock<std::shared_mutex> hold(_mutex);
        if (_pool == nullptr || !_pool->Lookup(id, found)) {
            return false;
        }
    }
    // Assigned after the hold: the output may hold the last reference to anything.
    session = std::move(found);
    return true;
}

void SessionPoolLink::FindByUser(const std::string& userName, std::vector<Ref<Session>>& sessions) {
    std::vector<SessionPoolImpl::AuthPair> pairs;
    {
        std::shared_lock<std::shared_mutex> hold(_mutex);
        if (_pool == nullptr) {
            return;
        }
        _pool->CollectAuthData(pairs);
    }
    SessionPoolImpl::FilterByUser(pairs, userName, sessions);
}

void SessionPoolLink::Sweep(uint64_t generation) {
    std::vector<Ref<Session>> expired;
    Ref<Service::Logger> logger;
    {
        std::shared_lock<std::shared_mutex> hold(_mutex);
        if (_pool == nullptr) {
            return;
        }
        _pool->TakeExpired(generation, std::nullopt, expired);
        logger = _pool->_logger;
    }
    SessionPoolImpl::CloseExpired(expired, logger.Get());
}

void SessionPoolLink::Detach() {
    std::unique_lock<std::shared_mutex> hold(_mutex);
    _pool = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Pool

SessionPoolImpl::SessionPoolImpl(const Ref<System::ThreadPool>& threadPool,
                                 const Ref<Service::Logger>& logger)
    : _link(new SessionPoolLink(this)),
      _logger(logger),
      // The timer's task holds the link, never the pool (see the ownership note).
      _timer([link = _link](uint64_t generation) {
          return System::MakeTask([link, generation] { link->Sweep(generation); });
      }) {
    _timer.SetThreadPool(threadPool);
}

SessionPoolImpl::~SessionPoolImpl() {
    _link->Detach();
    // Nobody else can reach the pool now. The sessions outlive it only where others hold them;
    // they no longer name it as their owner.
    for (auto& [id, entry] : _sessions) {
        Ref<SessionPool> owner;
        entry.session->GetOwner(owner);
        if (owner.Get() == _link.Get()) {
            entry.session->SetOwner(nullptr);
        }
    }
}

void SessionPoolImpl::Add(const Ref<Session>& session) {
    Update(session, false);
}

void SessionPoolImpl::Update(const Ref<Session>& session, bool fromOwner) {
    if (!session) {
        throw InvalidArgumentException("SessionPool::Add: null session");
    }
    if (!TryUpdate(session, fromOwner)) {
        // Made after the lock: making an exception captures a backtrace and may log it.
        throw AlreadyExistsException();
    }
}

bool SessionPoolImpl::TryUpdate(const Ref<Session>& session, bool fromOwner) {
    System::ScopedWriteLock lock(*this);
    if (fromOwner) {
        Ref<SessionPool> owner;
        session->GetOwner(owner);
        if (owner.Get() != _link.Get()) {
            return true;
        }
    }
    std::string id = session->GetId();
    const int64_t expiration = session->GetExpiration();
    auto it = _sessions.find(id);
    if (it != _sessions.end() && it->second.session != session) {
        return false;
    }
    if (!fromOwner) {
        session->SetOwner(Ref<SessionPool>(_link));
    }
    if (it != _sessions.end()) {
        if (it->second.expiration == expiration) {
            return true;
        }
        if (it->second.expiration >= 0) {
            _expiry.erase({it->second.expiration, id});
        }
        it->second.expiration = expiration;
    } else {
        _sessions.emplace(id, Entry{session, expiration});
    }
    if (expiration < 0) {
        return true;
    }
    _expiry.emplace(expiration, std::move(id));
    // The earliest entry rather than this one: the same when a timer is pending as it should
    // be, and a repair when the last attempt to schedule one failed.
    _timer.ScheduleBy(_expiry.begin()->first, SessionNow());
    return true;
}

bool SessionPoolImpl::Remove(const std::string& id) {
    Ref<Session> removed = TakeOut(id);
    if (!removed) {
        return false;
    }
    removed->CloseSession();
    return true;
}

Ref<Session> SessionPoolImpl::TakeOut(const std::string& id) {
    System::ScopedWriteLock lock(*this);
    auto it = _sessions.find(id);
    if (it == _sessions.end()) {
        return nullptr;
    }
    Ref<Session> removed = std::move(it->second.session);
    if (it->second.expiration >= 0) {
        _expiry.erase({it->second.expiration, id});
    }
    _sessions.erase(it);
    DisownLocked(*removed);
    return removed;
}

bool SessionPoolImpl::Lookup(const std::string& id, Ref<Session>& session) {
    Ref<Session> found;
    {
        System::ScopedReadLock lock(*this);
        auto it = _sessions.find(id);
        if (it == _sessions.end()) {
            return false;
        }
        found = it->second.session;
    }
    // Assigned after the lock: the output may hold the last reference to another session.
    session = std::move(found);
    return true;
}

void SessionPoolImpl::FindByUser(const std::string& userName, std::vector<Ref<Session>>& sessions) {
    std::vector<AuthPair> pairs;
    CollectAuthData(pairs);
    FilterByUser(pairs, userName, sessions);
}

void SessionPoolImpl::CollectAuthData(std::vector<AuthPair>& pairs) {
    System::ScopedReadLock lock(*this);
    for (const auto& [id, entry] : _sessions) {
        Ref<SessionAuthData> authData;
        entry.session->GetAuthData(authData);
        if (authData) {
            pairs.emplace_back(entry.session, std::move(authData));
        }
    }
}

void SessionPoolImpl::FilterByUser(const std::vector<AuthPair>& pairs, const std::string& userName,
                                   std::vector<Ref<Session>>& sessions) {
    for (const auto& [session, authData] : pairs) {
        if (authData->GetUserName() == userName) {
            sessions.push_back(session);
        }
    }
}

void SessionPoolImpl::SweepAt(int64_t now) {
    std::vector<Ref<Session>> expired;
    TakeExpired(0, now, expired);
    CloseExpired(expired, _logger.Get());
}

void SessionPoolImpl::TakeExpired(uint64_t generation, std::optional<int64_t> sweepTime,
                                  std::vector<Ref<Session>>& expired) {
    System::ScopedWriteLock lock(*this);
    _timer.Fired(generation);
    const int64_t now = sweepTime ? *sweepTime : SessionNow();
    while (!_expiry.empty() && _expiry.begin()->first < now) {
        auto first = _expiry.begin();
        auto it = _sessions.find(first->second);
        // Invariant 1: every indexed id has its entry.
        if (it != _sessions.end()) {
            DisownLocked(*it->second.session);
            expired.push_back(std::move(it->second.session));
            _sessions.erase(it);
        }
        _expiry.erase(first);
    }
    if (!_expiry.empty()) {
        _timer.ScheduleBy(_expiry.begin()->first, now);
    }
}

void SessionPoolImpl::CloseExpired(std::vector<Ref<Session>>& expired, Service::Logger* logger) {
    // One session whose close notifications fail must not keep the others open.
    for (Ref<Session>& session : expired) {
        try {
            session->CloseSession();
        } catch (const std::exception& e) {
            try {
                Service::Log(logger, Service::LogLevel::Error,
                             "Closing expired session id=%1 failed: %2", session->GetId(),
                             e.what());
            } catch (...) {
            }
        } catch (...) {
            try {
                Service::Log(logger, Service::LogLevel::Error,
                             "Closing expired session id=%1 failed", session->GetId());
            } catch (...) {
            }
        }
        session.Reset();
    }
}

void SessionPoolImpl::DisownLocked(Session& session) {
    Ref<SessionPool> owner;
    session.GetOwner(owner);
    if (owner.Get() == _link.Get()) {
        session.SetOwner(nullptr);
    }
}

size_t SessionPoolImpl::GetSize() {
    System::ScopedReadLock lock(*this);
    return _sessions.size();
}

size_t SessionPoolImpl::GetIndexedSize() {
    System::ScopedReadLock lock(*this);
    return _expiry.size();
}

bool SessionPoolImpl::IsSweepPending(int64_t& dueTime) {
    System::ScopedReadLock lock(*this);
    dueTime = _timer.IsPending() ? _timer.GetDueTime() : 0;
    return _timer.IsPending();
}

// ---------------------------------------------------------------------------------------------
// Factories

void GetSessionPool(const Ref<System::ThreadPool>& threadPool, Ref<SessionPool>& pool) {
    Ref<Service::Logger> logger;
    if (Ref<Service::Logger> root = Service::TryGetDefaultLogger()) {
        root->CreateLogger("session pool", logger);
    }
    pool = Ref<SessionPool>(new SessionPoolImpl(threadPool, logger));
}

void GetSessionPool(Ref<SessionPool>& pool) {
    Ref<System::ThreadPool> threadPool;
    if (System::Thread* current = System::Thread::TryGetCurrent()) {
        threadPool = current->GetThreadPool();
    }
    GetSessionPool(threadPool, pool);
}

}  // namespace Tarvos
