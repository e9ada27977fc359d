#include "tarvos/xml/internal/NodeMemory.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace Tarvos::Xml {

namespace {

constexpr size_t kSlabSize = 64 * 1024;
// Blocks above this size are not carved: they would waste the rest of a slab.
constexpr size_t kLargestCarved = 8 * 1024;
constexpr size_t kHeaderSize = 8;
// Larger than any number of blocks a slab can hold.
constexpr int64_t kCarvingBias = int64_t{1} << 40;

constexpr size_t RoundUp(size_t size) {
    return (size + 7) & ~size_t{7};
}

}  // namespace

class NodeSlab {
public:
    std::atomic<int64_t> live{kCarvingBias};

    char* Begin() { return reinterpret_cast<char*>(this) + RoundUp(sizeof(NodeSlab)); }
    char* End() { return reinterpret_cast<char*>(this) + kSlabSize; }

    // Drops `count` from the count; frees the slab when it reaches zero.
    void Release(int64_t count) noexcept {
        if (live.fetch_sub(count, std::memory_order_acq_rel) == count) {
            this->~NodeSlab();
            std::free(this);
        }
    }
};

namespace {

NodeSlab*& HeaderOf(void* object) {
    return *reinterpret_cast<NodeSlab**>(static_cast<char*>(object) - kHeaderSize);
}

}  // namespace

void* AllocateHeapNodeBlock(size_t size) {
    void* block = std::malloc(kHeaderSize + size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    void* object = static_cast<char*>(block) + kHeaderSize;
    HeaderOf(object) = nullptr;
    return object;
}

void FreeNodeBlock(void* object) noexcept {
    if (object == nullptr) {
        return;
    }
    if (NodeSlab* slab = HeaderOf(object)) {
        slab->Release(1);
    } else {
        std::free(static_cast<char*>(object) - kHeaderSize);
    }
}

void* NodeArena::Allocate(size_t size) {
    const size_t needed = kHeaderSize + RoundUp(size);
    if (needed > kLargestCarved) {
        return AllocateHeapNodeBlock(size);
    }
    if (_slab == nullptr || static_cast<size_t>(_end - _next) < needed) {
        void* memory = std::malloc(kSlabSize);
        if (memory == nullptr) {
            throw std::bad_alloc();
        }
        Leave();
        _slab = new (memory) NodeSlab();
        _next = _slab->Begin();
        _end = _slab->End();
        _carved = 0;
    }
    void* object = _next + kHeaderSize;
    _next += needed;
    ++_carved;
    HeaderOf(object) = _slab;
    return object;
}

bool NodeArena::Extend(const char* end, size_t more) noexcept {
    // Blocks are carved in multiples of 8 bytes from 8-byte aligned addresses, so the last block
    // is the one whose end, rounded up, is where the next block would start.
    const auto address = reinterpret_cast<uintptr_t>(end);
    if (_slab == nullptr || RoundUp(address) != reinterpret_cast<uintptr_t>(_next) ||
        more > static_cast<size_t>(_end - end)) {
        return false;
    }
    _next = reinterpret_cast<char*>(RoundUp(address + more));
    return true;
}

void NodeArena::Leave() noexcept {
    if (_slab != nullptr) {
        NodeSlab* slab = _slab;
        _slab = nullptr;
        _next = _end = nullptr;
        slab->Release(kCarvingBias - _carved);
    }
}

}  // namespace Tarvos::Xml
