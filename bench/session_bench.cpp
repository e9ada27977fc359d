// Session lookups by id against reader/writer-locked maps, side by side.
//
//   SessionPoolLookup/threads:N      SessionPool::Lookup on a pool of 100,000 sessions
//   SharedMutexMapLookup/threads:N   the same lookups in a std::map<std::string,
//                                    std::shared_ptr<...>> of small plain records guarded by a
//                                    std::shared_mutex: the baseline
//   SharedMutexHashLookup/threads:N  a std::unordered_map<std::string, Ref<Session>> of 100,000
//                                    SessionMixin objects guarded by a std::shared_mutex: the
//                                    pool's structure without its reader/writer lock and entry
//                                    records, to show what headroom the pool's read path leaves
//
// Every thread looks up ids drawn at random from the 100,000 (its own sequence) and keeps a
// reference to the result, as a caller does. items_per_second is lookups per second of wall
// time over all threads.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include "tarvos/core/Ref.h"
#include "tarvos/core/SessionMixin.h"
#include "tarvos/core/SessionPool.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/ThreadPool.h"

namespace {

using Tarvos::Ref;

constexpr int kSessions = 100000;
constexpr size_t kIdsPerThread = 1 << 14;

// Session ids as a service makes them: 32 random hexadecimal digits.
const std::vector<std::string>& SessionIds() {
    static const std::vector<std::string> ids = [] {
        std::mt19937_64 random(42);
        std::vector<std::string> made;
        made.reserve(kSessions);
        char text[33];
        for (int i = 0; i < kSessions; ++i) {
            snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(random()),
                     static_cast<unsigned long long>(random()));
            made.emplace_back(text, 32);
        }
        return made;
    }();
    return ids;
}

// The ids one thread looks up, in its own random order.
std::vector<std::string> LookupSequence(int threadIndex) {
    const std::vector<std::string>& ids = SessionIds();
    std::mt19937 random(1000 + threadIndex);
    std::vector<std::string> sequence;
    sequence.reserve(kIdsPerThread);
    for (size_t i = 0; i < kIdsPerThread; ++i) {
        sequence.push_back(ids[random() % ids.size()]);
    }
    return sequence;
}

const Ref<Tarvos::System::ThreadPool>& Threads() {
    static const Ref<Tarvos::System::ThreadPool> pool = [] {
        Ref<Tarvos::System::ThreadPool> made;
        Tarvos::System::GetSystemFactory().CreateThreadPool(nullptr, made);
        return made;
    }();
    return pool;
}

const Ref<Tarvos::SessionPool>& Pool() {
    static const Ref<Tarvos::SessionPool> pool = [] {
        Ref<Tarvos::SessionPool> made;
        Tarvos::GetSessionPool(Threads(), made);
        for (const std::string& id : SessionIds()) {
            made->Add(Ref<Tarvos::Session>(new Tarvos::SessionMixin(id)));
        }
        return made;
    }();
    return pool;
}

// What the baseline map holds per session: about what a session carries.
struct PlainSession {
    explicit PlainSession(std::string sessionId) : id(std::move(sessionId)) {}
    std::string id;
    int64_t expiration = -1;
};

struct LockedMap {
    using Value = std::shared_ptr<PlainSession>;
    std::shared_mutex mutex;
    std::map<std::string, std::shared_ptr<PlainSession>> sessions;
};

LockedMap& Baseline() {
    static LockedMap* const map = [] {
        auto* made = new LockedMap();
        for (const std::string& id : SessionIds()) {
            made->sessions.emplace(id, std::make_shared<PlainSession>(id));
        }
        return made;
    }();
    return *map;
}

struct LockedHash {
    using Value = Ref<Tarvos::Session>;
    std::shared_mutex mutex;
    std::unordered_map<std::string, Ref<Tarvos::Session>> sessions;
};

LockedHash& HashBaseline() {
    static LockedHash* const map = [] {
        auto* made = new LockedHash();
        for (const std::string& id : SessionIds()) {
            made->sessions.emplace(id, Ref<Tarvos::Session>(new Tarvos::SessionMixin(id)));
        }
        return made;
    }();
    return *map;
}

const void* Address(const std::shared_ptr<PlainSession>& session) {
    return session.get();
}

const void* Address(const Ref<Tarvos::Session>& session) {
    return session.Get();
}

template <class Map>
void LookupLoop(benchmark::State& state, Map& map) {
    const std::vector<std::string> sequence = LookupSequence(state.thread_index());
    size_t next = 0;
    for (auto _ : state) {
        typename Map::Value session;
        {
            std::shared_lock<std::shared_mutex> hold(map.mutex);
            auto it = map.sessions.find(sequence[next]);
            if (it != map.sessions.end()) {
                session = it->second;
            }
        }
        benchmark::DoNotOptimize(Address(session));
        next = (next + 1) & (kIdsPerThread - 1);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_SessionPoolLookup(benchmark::State& state) {
    Tarvos::SessionPool& pool = *Pool();
    const std::vector<std::string> sequence = LookupSequence(state.thread_index());
    size_t next = 0;
    for (auto _ : state) {
        Ref<Tarvos::Session> session;
        const bool found = pool.Lookup(sequence[next], session);
        benchmark::DoNotOptimize(found);
        benchmark::DoNotOptimize(session.Get());
        next = (next + 1) & (kIdsPerThread - 1);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_SharedMutexMapLookup(benchmark::State& state) {
    LookupLoop(state, Baseline());
}

void BM_SharedMutexHashLookup(benchmark::State& state) {
    LookupLoop(state, HashBaseline());
}

BENCHMARK(BM_SessionPoolLookup)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();
BENCHMARK(BM_SharedMutexMapLookup)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();
BENCHMARK(BM_SharedMutexHashLookup)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
