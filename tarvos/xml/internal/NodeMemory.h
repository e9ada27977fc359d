#pragma once

#include <cstddef>
#include <cstdint>

namespace Tarvos::Xml {

// Where node objects live.
//
// A node made by the public factories is one heap block. The nodes the document builder makes
// are carved, together with their strings, out of 64 KiB slabs in document order: a parse costs
// one allocation per slab instead of several per node, releasing a document frees slabs instead
// of every node and string, and the nodes of a document sit next to each other in memory.
//
// Block layout: an 8-byte header holding the address of the block's slab (null for a heap
// block), then the object, then (for carved nodes) the node's strings.
//
// Slab lifetime. A slab counts the nodes carved from it that are still alive, plus a bias of
// kCarvingBias while an arena still carves from it. Nodes die on any thread (the count is
// atomic); the arena, confined to its builder's thread, subtracts the bias less the number of
// nodes it carved when it leaves the slab. Whoever brings the count to zero frees the slab. A
// node that outlives its document keeps its whole slab (at most 64 KiB) alive.

// Storage for one object of `size` bytes on the heap; freed by FreeNodeBlock.
void* AllocateHeapNodeBlock(size_t size);
// Frees the block of an object from AllocateHeapNodeBlock or NodeArena::Allocate.
void FreeNodeBlock(void* object) noexcept;

class NodeSlab;

// Carves node blocks out of slabs. Confined to one thread.
class NodeArena {
public:
    NodeArena() = default;
    ~NodeArena() { Leave(); }
    NodeArena(const NodeArena&) = delete;
    NodeArena& operator=(const NodeArena&) = delete;

    // Storage for an object of `size` bytes (8-byte aligned). Large blocks go to the heap.
    void* Allocate(size_t size);
    // Grows the block that ends at `end` by `more` bytes in place, which works only while it is
    // the last block carved and the slab has room. Returns whether it grew.
    bool Extend(const char* end, size_t more) noexcept;
    // Stops carving from the current slab (at the end of a parse), so that it is freed as soon as
    // its nodes are.
    void Leave() noexcept;

private:
    NodeSlab* _slab = nullptr;
    char* _next = nullptr;
    char* _end = nullptr;
    // Blocks carved from _slab so far.
    int64_t _carved = 0;
};

}  // namespace Tarvos::Xml
