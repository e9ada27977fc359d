#pragma once

#include <string>
#include <vector>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Session.h"
#include "tarvos/system/ThreadPool.h"

namespace Tarvos {

// Sessions by id, closed when they expire. A pool sweeps with one-shot timers of its thread
// pool: a session whose expiration has passed is taken out and closed (CloseSession) after the
// pool's lock is released. A session with a negative expiration (kNever) stays until Remove.
//
// The pool keeps its sessions alive; a session refers to its pool (its owner) without keeping
// it alive, so a pool that is dropped is destroyed with the sessions in it (which are released,
// not closed). Timers that are still pending then find nothing to do.
//
// Safe for concurrent use, from any thread: one reader/writer lock, taken shared by Lookup and
// FindByUser and exclusive by the changes. Close notifications run without the lock and may
// call back into the pool.
class TARVOS_API SessionPool : public virtual Object {
public:
    // Adds `session` (non-null, else InvalidArgumentException) or updates its entry after its
    // expiration changed; this is also where SessionMixin::SetExpiration reports changes. Makes
    // the pool the session's owner. A finite expiration that is earlier than the pending sweep
    // brings the sweep forward. Throws AlreadyExistsException, leaving the pool unchanged, when
    // another session object is pooled under the same id.
    virtual void Add(const Ref<Session>& session) = 0;
    // Takes the session out of the pool, clears its owner and closes it once the pool's lock is
    // released; false when no session has that id. Exceptions of the close notifications reach
    // the caller (the session is out of the pool by then).
    virtual bool Remove(const std::string& id) = 0;
    // True with the session in `session` when one has that id; `session` is untouched otherwise.
    virtual bool Lookup(const std::string& id, Ref<Session>& session) = 0;
    // Appends to `sessions` every pooled session whose auth data is set and names exactly
    // `userName` (GetUserName is called after the pool's lock is released).
    virtual void FindByUser(const std::string& userName, std::vector<Ref<Session>>& sessions) = 0;
};

// Delivers a new, empty pool whose sweeps run on the thread pool of the calling thread. On a
// thread that belongs to no thread pool the pool never sweeps: sessions stay until Remove.
TARVOS_API void GetSessionPool(Ref<SessionPool>& pool);

// The same with the thread pool named explicitly (null: no sweeps).
TARVOS_API void GetSessionPool(const Ref<System::ThreadPool>& threadPool, Ref<SessionPool>& pool);

}  // namespace Tarvos
