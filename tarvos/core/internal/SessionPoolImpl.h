#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Session.h"
#include "tarvos/core/SessionPool.h"
#include "tarvos/core/internal/SessionRWLock.h"
#include "tarvos/core/internal/SessionTimer.h"
#include "tarvos/service/Logger.h"
#include "tarvos/system/ThreadPool.h"

namespace Tarvos {

class SessionPoolImpl;

// What a pool hands out in its own place: the owner installed in its sessions and the target of
// its sweep timers. It forwards to the pool while the pool lives and turns into a no-op once
// the pool is destroyed, so that neither sessions nor pending timers keep the pool alive.
//
// Safe for concurrent use. Calls are forwarded under a shared hold of _mutex; the pool's
// destructor takes it exclusively (Detach), so it waits for forwarded calls in flight and no
// call reaches a destroyed pool. Nothing that may release the pool's last reference (a close
// notification, GetUserName) runs under that hold.
class TARVOS_INTERNAL SessionPoolLink final : public SessionPool, public ObjectImpl {
public:
    explicit SessionPoolLink(SessionPoolImpl* pool) : _pool(pool) {}

    // The owner path of Session::SetExpiration: updates the entry only while the session is
    // still owned by the pool (a session that has left it is not taken back in).
    void Add(const Ref<Session>& session) override;
    bool Remove(const std::string& id) override;
    bool Lookup(const std::string& id, Ref<Session>& session) override;
    void FindByUser(const std::string& userName, std::vector<Ref<Session>>& sessions) override;

    // The callback of sweep timer `generation`.
    void Sweep(uint64_t generation);
    // Cuts the link; called once by the pool's destructor.
    void Detach();

private:
    mutable std::shared_mutex _mutex;
    SessionPoolImpl* _pool;  // guarded by _mutex; null once detached
};

// The session pool (design note in SessionPoolImpl.cpp).
class TARVOS_INTERNAL SessionPoolImpl final : public SessionPool, public SessionRWLock {
public:
    // A pool whose sweeps run on `threadPool` (null: never) and that logs through `logger`
    // (may be null).
    SessionPoolImpl(const Ref<System::ThreadPool>& threadPool, const Ref<Service::Logger>& logger);
    ~SessionPoolImpl() override;

    void Add(const Ref<Session>& session) override;
    bool Remove(const std::string& id) override;
    bool Lookup(const std::string& id, Ref<Session>& session) override;
    void FindByUser(const std::string& userName, std::vector<Ref<Session>>& sessions) override;

    // One sweep with `now` as the current time: closes (after the lock) every session whose
    // expiration is earlier than `now`. The timers sweep with SessionNow(); tests choose.
    void SweepAt(int64_t now);

    // The number of pooled sessions and of indexed ones; for tests.
    size_t GetSize();
    size_t GetIndexedSize();
    // Whether a sweep timer is pending, and its due time (0 when none); for tests.
    bool IsSweepPending(int64_t& dueTime);

private:
    friend class SessionPoolLink;

    struct Entry {
        Ref<Session> session;
        int64_t expiration;  // the expiration under which it is indexed (negative: not indexed)
    };
    using AuthPair = std::pair<Ref<Session>, Ref<SessionAuthData>>;

    // Add, and the owner path of the link when `fromOwner` is set.
    void Update(const Ref<Session>& session, bool fromOwner);
    // The work of Update (takes the write lock); false when another session has the id.
    bool TryUpdate(const Ref<Session>& session, bool fromOwner);
    // Takes the entry of `id` out of the pool (null when there is none).
    Ref<Session> TakeOut(const std::string& id);
    // The pooled sessions that have auth data, with it.
    void CollectAuthData(std::vector<AuthPair>& pairs);
    // Step one of a sweep by timer `generation` (0: by no timer): takes the sessions expired at
    // `now` (default: the time once the lock is held) out, in expiration order.
    void TakeExpired(uint64_t generation, std::optional<int64_t> now,
                     std::vector<Ref<Session>>& expired);
    // Step two, after every lock was released.
    static void CloseExpired(std::vector<Ref<Session>>& expired, Service::Logger* logger);
    static void FilterByUser(const std::vector<AuthPair>& pairs, const std::string& userName,
                             std::vector<Ref<Session>>& sessions);

    // Clears the owner of a session that leaves the pool. Write lock held.
    void DisownLocked(Session& session);

    // Fixed at construction.
    const Ref<SessionPoolLink> _link;
    const Ref<Service::Logger> _logger;

    // Guarded by the pool's reader/writer lock (SessionRWLock).
    std::unordered_map<std::string, Entry> _sessions;
    std::set<std::pair<int64_t, std::string>> _expiry;
    SessionTimer _timer;
};

}  // namespace Tarvos
