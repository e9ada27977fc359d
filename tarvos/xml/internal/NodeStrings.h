#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace Tarvos::Xml {

// A string of a node: either borrowed storage beside the node in its slab (written by the
// document builder, see NodeMemory.h), or a buffer of its own once the string is changed or
// outgrows that storage. Bytes in [size, capacity) of the current storage are free for appends.
// Externally synchronised, like its node.
class NodeText {
public:
    NodeText() = default;
    // Uses `capacity` bytes at `storage` (which hold the first `size` bytes of the string) and
    // outlive this object.
    NodeText(char* storage, size_t size, size_t capacity) noexcept
        : _data(storage), _size(size), _capacity(capacity) {}
    NodeText(const NodeText&) = delete;
    NodeText& operator=(const NodeText&) = delete;

    // Takes `capacity` bytes at `storage` as the storage, as the constructor does.
    void Borrow(char* storage, size_t size, size_t capacity) noexcept {
        _owned.reset();
        _data = storage;
        _size = size;
        _capacity = capacity;
    }

    std::string_view View() const noexcept { return {_data, _size}; }
    // The end of the current storage and the free bytes before it.
    const char* StorageEnd() const noexcept { return _data + _capacity; }
    size_t Room() const noexcept { return _capacity - _size; }

    void Assign(std::string_view value);
    void Append(std::string_view more);
    // Declares `more` further bytes directly after the current storage usable (the arena grew
    // the block in place).
    void Widen(size_t more) noexcept { _capacity += more; }

private:
    // Moves to an own buffer of at least `capacity` bytes, keeping the first `keep` bytes.
    void Reallocate(size_t capacity, size_t keep);

    char* _data = nullptr;
    size_t _size = 0;
    size_t _capacity = 0;
    std::unique_ptr<char[]> _owned;
};

// One attribute: views into the storage of an AttributeList.
struct AttributeEntry {
    std::string_view name;
    std::string_view value;
};

// The attributes of an element, sorted by name (byte order, like AttributeMap), names unique.
// The entries and their bytes sit in one block: borrowed storage beside the element, or a
// block of its own, rebuilt whenever an attribute is set. Externally synchronised.
class AttributeList {
public:
    AttributeList() = default;
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;

    // The bytes needed to hold `count` attributes with `bytes` bytes of names and values.
    static constexpr size_t StorageSize(size_t count, size_t bytes) {
        return count * sizeof(AttributeEntry) + bytes;
    }
    // Builds the list in `storage` (StorageSize bytes, 8-byte aligned, outliving this object)
    // from `count` name/value pairs given as `names[i]`, `values[i]`; sorts them by name. The
    // names must be unique.
    void Build(char* storage, const std::string_view* names, const std::string_view* values,
               size_t count) noexcept;

    std::span<const AttributeEntry> Entries() const noexcept { return {_entries, _count}; }
    // The entry named `name`, else null.
    const AttributeEntry* Find(std::string_view name) const noexcept;
    // Inserts or replaces.
    void Set(std::string_view name, std::string_view value);

private:
    const AttributeEntry* _entries = nullptr;
    size_t _count = 0;
    std::unique_ptr<char[]> _owned;
};

}  // namespace Tarvos::Xml
