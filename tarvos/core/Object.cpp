#include "tarvos/core/Object.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <typeinfo>
#include <unordered_map>

#include "tarvos/core/Scoreboard.h"

namespace Tarvos {

std::atomic<ScoreboardHash2D*> g_objectCensus{nullptr};

namespace {

std::atomic<RefHook> g_refHook{nullptr};

ScoreboardHash2D& Census() {
    // Made exactly once by the first first-reference of the process and never freed, so that
    // objects released during static destruction still find it.
    static ScoreboardHash2D* const census = [] {
        auto* table = new ScoreboardHash2D();
        g_objectCensus.store(table, std::memory_order_release);
        return table;
    }();
    return *census;
}

// The key of a type in the census: the address of its type-name text.
const void* CensusKey(const Object& object) {
    return typeid(object).name();
}

// The census entries found for recent keys, so that the first reference of an object of a
// common type skips the hash and the bucket scan. A key's entry never changes once claimed, so
// any cached pair stays true; each slot is one word (key address << 16 | entry + 1) so that a
// reader never sees a key with another key's entry. User-space addresses fit in 48 bits.
constexpr size_t kEntryCacheSlots = 64;
std::atomic<uint64_t> g_entryCache[kEntryCacheSlots];

int32_t AddFirstReference(const void* key) {
    const auto address = reinterpret_cast<uint64_t>(key);
    std::atomic<uint64_t>& slot = g_entryCache[(address >> 4) % kEntryCacheSlots];
    const uint64_t cached = slot.load(std::memory_order_relaxed);
    if (cached >> 16 == address && (cached & 0xFFFF) != 0) {
        const auto entry = static_cast<int32_t>(cached & 0xFFFF) - 1;
        Census().AddAt(entry, 1);
        return entry;
    }
    const int32_t entry = Census().Add(key, 1);
    if (entry >= 0 && address < (uint64_t{1} << 48)) {
        slot.store(address << 16 | static_cast<uint64_t>(entry + 1), std::memory_order_relaxed);
    }
    return entry;
}

// The slow part of IncRef, out of line so that the common case (no census work, no hook) stays a
// locked add, a load and a branch. The empty statements after hook calls keep the calls out of
// tail position, so that the call stacks a hook captures show the reference operation's own
// frame (the reference tracker cuts its stacks there).
[[gnu::noinline]] void AfterIncRef(ObjectImpl* object, int32_t& censusEntry, const void* holder,
                                   int32_t before, RefHook hook) {
    if (before == 0) {
        censusEntry = AddFirstReference(CensusKey(*object));
    }
    if (hook != nullptr) {
        hook(object, typeid(*object).name(), holder, 1, before + 1);
        asm volatile("" ::: "memory");
    }
}

}  // namespace

int32_t ScoreboardHash2D::BucketOf(const void* key) noexcept {
    const auto address = reinterpret_cast<uintptr_t>(key);
    uint32_t k = static_cast<uint32_t>(address) ^ static_cast<uint32_t>(address >> 32);
    k = ~(k << 15) + k;
    k = k ^ (k >> 10);
    k = k * 9;
    k = k ^ (k >> 6);
    k = k + ~(k << 11);
    k = k ^ (k >> 16);
    // The absolute value of k as a signed number; computed unsigned so that the most negative
    // value does not overflow into a negative bucket.
    const int32_t s = static_cast<int32_t>(k);
    const uint32_t magnitude = s < 0 ? 0u - static_cast<uint32_t>(s) : static_cast<uint32_t>(s);
    return static_cast<int32_t>(magnitude % kBuckets);
}

int32_t ScoreboardHash2D::Add(const void* key, int32_t delta) {
    const int32_t bucket = BucketOf(key);
    Entry* entries = _entries[bucket];
    int32_t n = _fill[bucket].load(std::memory_order_acquire);
    if (n > kSlots) {
        n = kSlots;
    }
    for (int32_t i = 0; i < n; ++i) {
        if (entries[i].key.load(std::memory_order_acquire) == key) {
            AddAt(bucket * kSlots + i, delta);
            return bucket * kSlots + i;
        }
    }
    if (n < kSlots) {
        const int32_t slot = _fill[bucket].fetch_add(1, std::memory_order_acq_rel);
        if (slot < kSlots) {
            AddAt(bucket * kSlots + slot, delta);
            entries[slot].key.store(key, std::memory_order_release);
            return bucket * kSlots + slot;
        }
    }
    _overflow.fetch_add(delta, std::memory_order_relaxed);
    return -1;
}

void ScoreboardHash2D::AddAt(int32_t entry, int32_t delta) {
    if (entry < 0 || entry >= kBuckets * kSlots) {
        _overflow.fetch_add(delta, std::memory_order_relaxed);
        return;
    }
    std::atomic<int32_t>& counter = delta < 0 ? _removed[entry / kSlots][entry % kSlots]
                                              : _entries[entry / kSlots][entry % kSlots].count;
    counter.fetch_add(delta, std::memory_order_relaxed);
}

int32_t ScoreboardHash2D::CountAt(int32_t bucket, int32_t slot) const noexcept {
    // Wraps like the single counter it stands for.
    return static_cast<int32_t>(
        static_cast<uint32_t>(_entries[bucket][slot].count.load(std::memory_order_relaxed)) +
        static_cast<uint32_t>(_removed[bucket][slot].load(std::memory_order_relaxed)));
}

int32_t ScoreboardHash2D::CountOf(const void* key) const noexcept {
    const int32_t bucket = BucketOf(key);
    const Entry* entries = _entries[bucket];
    int32_t total = 0;
    for (int32_t i = 0; i < kSlots; ++i) {
        if (entries[i].key.load(std::memory_order_acquire) == key) {
            total += CountAt(bucket, i);
        }
    }
    return total;
}

void ScoreboardHash2D::Dump(std::string& out) const {
    int64_t total = 0;
    int64_t slotTotals[kSlots] = {};
    char line[512];
    for (int32_t b = 0; b < kBuckets; ++b) {
        for (int32_t s = 0; s < kSlots; ++s) {
            const void* key = _entries[b][s].key.load(std::memory_order_acquire);
            if (key == nullptr) {
                continue;
            }
            const int32_t count = CountAt(b, s);
            total += count;
            slotTotals[s] += count;
            const std::string name = DemangleTypeName(static_cast<const char*>(key));
            const int written =
                std::snprintf(line, sizeof line, "(%d,%d) => %s - %d", b, s, name.c_str(), count);
            if (written < 0) {
                out += "error in obtaining bucket value";
            } else if (static_cast<size_t>(written) >= sizeof line) {
                out.append(line, sizeof line - 1);
                out += " (output truncated)";
            } else {
                out.append(line, static_cast<size_t>(written));
            }
            out += '\n';
        }
    }
    out += "Total count: " + std::to_string(total) + "\n";
    out += "Bucket counts:\n";
    for (int32_t s = 0; s < kSlots; ++s) {
        std::snprintf(line, sizeof line, "  %d - %lld\n", s, static_cast<long long>(slotTotals[s]));
        out += line;
    }
    out += "Other objects: " + std::to_string(_overflow.load(std::memory_order_relaxed)) + "\n";
}

void GetObjectCensus(std::string& out) {
    const ScoreboardHash2D* census = g_objectCensus.load(std::memory_order_acquire);
    if (census != nullptr) {
        census->Dump(out);
    }
}

ObjectImpl::~ObjectImpl() = default;

void SetRefHook(RefHook hook) noexcept {
    g_refHook.store(hook, std::memory_order_release);
}

void ObjectImpl::IncRef(const void* holder) {
    const int32_t before = _refCount.fetch_add(1, std::memory_order_relaxed);
    const RefHook hook = g_refHook.load(std::memory_order_relaxed);
    if (before == 0 || hook != nullptr) [[unlikely]] {
        AfterIncRef(this, _censusEntry, holder, before, hook);
        asm volatile("" ::: "memory");
    }
}

void ObjectImpl::IncRef() {
    IncRef(reinterpret_cast<const void*>(-1));
}

void ObjectImpl::DecRef(const void* holder) {
    // The slow parts, out of line so that a drop that is neither observed nor the last needs no
    // stack frame (see AfterIncRef for the empty statements).
    struct Slow {
        [[gnu::noinline]] static void Destroy(ObjectImpl* self) {
            Census().AddAt(self->_censusEntry, -1);
            self->OnLastRelease();
            delete self;
        }
        [[gnu::noinline]] static void DropObserved(ObjectImpl* self, const void* holder,
                                                   RefHook hook) {
            // The type is read while the caller's reference still keeps the object alive; once
            // the count has dropped, another thread may destroy it.
            const char* const typeName = typeid(*self).name();
            const int32_t before = self->_refCount.fetch_sub(1, std::memory_order_acq_rel);
            hook(self, typeName, holder, -1, before - 1);
            if (before == 1) {
                Destroy(self);
            }
            asm volatile("" ::: "memory");
        }
    };
    const RefHook hook = g_refHook.load(std::memory_order_relaxed);
    if (hook != nullptr) [[unlikely]] {
        Slow::DropObserved(this, holder, hook);
        asm volatile("" ::: "memory");
    } else if (_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        Slow::Destroy(this);
    }
}

void ObjectImpl::DecRef() {
    DecRef(reinterpret_cast<const void*>(-1));
}

std::string ObjectImpl::ToString() const {
    std::ostringstream text;
    text << "[" << GetTypeName(*this) << ":" << static_cast<const void*>(this) << "]";
    return text.str();
}

std::string DemangleTypeName(const char* mangledName) {
    // Demangling allocates and is slow; type names are few, so each is demangled once.
    static std::mutex cacheMutex;
    static auto* cache = new std::unordered_map<const char*, std::string>();
    {
        std::lock_guard<std::mutex> guard(cacheMutex);
        auto it = cache->find(mangledName);
        if (it != cache->end()) {
            return it->second;
        }
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangledName, nullptr, nullptr, &status);
    std::string name = (status == 0 && demangled != nullptr) ? demangled : mangledName;
    std::free(demangled);
    std::lock_guard<std::mutex> guard(cacheMutex);
    cache->emplace(mangledName, name);
    return name;
}

std::string GetTypeName(const Object& object) {
    return DemangleTypeName(typeid(object).name());
}

}  // namespace Tarvos
