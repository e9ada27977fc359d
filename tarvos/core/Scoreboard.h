#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tarvos/core/Export.h"

namespace Tarvos {

// A table of signed counters keyed by address.
class TARVOS_API Scoreboard {
public:
    virtual ~Scoreboard() = default;
    // Adds `delta` to the counter of `key`; returns the entry used, or -1 for the overflow
    // counter. The entry can be handed to AddAt for later updates of the same key.
    virtual int32_t Add(const void* key, int32_t delta) = 0;
    virtual void AddAt(int32_t entry, int32_t delta) = 0;
    // Appends a text dump of every counter.
    virtual void Dump(std::string& out) const = 0;
};

// The live-object census: 2003 buckets of 8 (type-name address, count) entries and one overflow
// counter. Keys are compared by address. A fixed allocation updated with atomic operations only,
// so that it can be fed from any thread at any time. Two threads registering one new key at once
// may claim two entries for it; both are counted.
class TARVOS_API ScoreboardHash2D final : public Scoreboard {
public:
    static constexpr int32_t kBuckets = 2003;
    static constexpr int32_t kSlots = 8;

    ScoreboardHash2D() = default;
    ScoreboardHash2D(const ScoreboardHash2D&) = delete;
    ScoreboardHash2D& operator=(const ScoreboardHash2D&) = delete;

    int32_t Add(const void* key, int32_t delta) override;
    void AddAt(int32_t entry, int32_t delta) override;
    // Lines "(%d,%d) => %s - %d" (bucket, slot, demangled type name, count), then
    // "Total count: ", "Bucket counts:" with one line per slot position, "Other objects: ".
    void Dump(std::string& out) const override;

    // The bucket of a key (the integer mix of its address folded to 32 bits).
    static int32_t BucketOf(const void* key) noexcept;
    // The count of `key` summed over its entries, not counting the overflow.
    int32_t CountOf(const void* key) const noexcept;
    int32_t GetOverflow() const noexcept { return _overflow.load(std::memory_order_relaxed); }

private:
    struct Entry {
        std::atomic<const void*> key{nullptr};
        std::atomic<int32_t> count{0};
    };

    int32_t CountAt(int32_t bucket, int32_t slot) const noexcept;

    std::atomic<int32_t> _fill[kBuckets] = {};
    Entry _entries[kBuckets][kSlots];
    // The negative deltas of each entry, kept apart from the positive ones: objects are often
    // made on one thread and released on another, and one shared counter would move its cache
    // line between the two processors for every object. An entry's count is the sum of both.
    std::atomic<int32_t> _removed[kBuckets][kSlots] = {};
    std::atomic<int32_t> _overflow{0};
};

// The process's census table; null until the first object was referenced, then fixed for the
// life of the process.
TARVOS_API extern std::atomic<ScoreboardHash2D*> g_objectCensus;

// Appends the census dump to `out`; leaves it unchanged when no object was ever referenced.
TARVOS_API void GetObjectCensus(std::string& out);

}  // namespace Tarvos
