#include "tarvos/xml/internal/NodeStrings.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

namespace Tarvos::Xml {

void NodeText::Reallocate(size_t capacity, size_t keep) {
    std::unique_ptr<char[]> buffer(new char[capacity > 0 ? capacity : 1]);
    if (keep > 0) {
        std::memcpy(buffer.get(), _data, keep);
    }
    _owned = std::move(buffer);
    _data = _owned.get();
    _capacity = capacity;
}

void NodeText::Assign(std::string_view value) {
    if (value.size() > _capacity || _owned == nullptr) {
        // A fresh buffer; `value` may point into the old one, which lives until the copy is made.
        std::unique_ptr<char[]> buffer(new char[value.empty() ? 1 : value.size()]);
        if (!value.empty()) {
            std::memcpy(buffer.get(), value.data(), value.size());
        }
        _owned = std::move(buffer);
        _data = _owned.get();
        _capacity = value.size();
    } else if (!value.empty()) {
        std::memmove(_data, value.data(), value.size());
    }
    _size = value.size();
}

void NodeText::Append(std::string_view more) {
    if (more.empty()) {
        return;
    }
    if (more.size() > _capacity - _size) {
        // Geometric growth keeps a run of appends linear.
        const size_t wanted = std::max(_size + more.size(), _capacity * 2);
        const std::less<const char*> before;
        if (!before(more.data(), _data) && before(more.data(), _data + _size)) {
            // Appending a piece of itself: copy the piece out before the buffer moves.
            const std::vector<char> piece(more.begin(), more.end());
            Reallocate(wanted, _size);
            std::memcpy(_data + _size, piece.data(), piece.size());
            _size += piece.size();
            return;
        }
        Reallocate(wanted, _size);
    }
    std::memcpy(_data + _size, more.data(), more.size());
    _size += more.size();
}

namespace {

// Byte order, as std::string compares; the first bytes usually decide, without a call.
bool NameLess(std::string_view a, std::string_view b) noexcept {
    if (!a.empty() && !b.empty() && a[0] != b[0]) {
        return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
    }
    return a < b;
}

}  // namespace

void AttributeList::Build(char* storage, const std::string_view* names,
                          const std::string_view* values, size_t count) noexcept {
    auto* entries = reinterpret_cast<AttributeEntry*>(storage);
    char* bytes = storage + count * sizeof(AttributeEntry);
    for (size_t i = 0; i < count; ++i) {
        std::memcpy(bytes, names[i].data(), names[i].size());
        const std::string_view name(bytes, names[i].size());
        bytes += names[i].size();
        std::memcpy(bytes, values[i].data(), values[i].size());
        const std::string_view value(bytes, values[i].size());
        bytes += values[i].size();
        // Insertion sort: elements carry a handful of attributes, often already in order.
        size_t at = i;
        while (at > 0 && NameLess(name, entries[at - 1].name)) {
            new (&entries[at]) AttributeEntry(entries[at - 1]);
            --at;
        }
        new (&entries[at]) AttributeEntry{name, value};
    }
    _entries = entries;
    _count = count;
}

const AttributeEntry* AttributeList::Find(std::string_view name) const noexcept {
    const AttributeEntry* end = _entries + _count;
    const AttributeEntry* it = std::lower_bound(
        _entries, end, name,
        [](const AttributeEntry& entry, std::string_view key) { return entry.name < key; });
    return it != end && it->name == name ? it : nullptr;
}

void AttributeList::Set(std::string_view name, std::string_view value) {
    // Rebuilt into a new block: edits by hand are rare and lists short, and the arguments may
    // point into the old block, which lives until the new one is complete.
    const AttributeEntry* existing = Find(name);
    const size_t count = _count + (existing == nullptr ? 1 : 0);
    std::vector<std::string_view> names;
    std::vector<std::string_view> values;
    names.reserve(count);
    values.reserve(count);
    size_t bytes = 0;
    for (const AttributeEntry& entry : Entries()) {
        names.push_back(entry.name);
        values.push_back(&entry == existing ? value : entry.value);
        bytes += entry.name.size() + values.back().size();
    }
    if (existing == nullptr) {
        names.push_back(name);
        values.push_back(value);
        bytes += name.size() + value.size();
    }
    std::unique_ptr<char[]> block(new char[std::max<size_t>(StorageSize(count, bytes), 1)]);
    Build(block.get(), names.data(), values.data(), count);
    _owned = std::move(block);
}

}  // namespace Tarvos::Xml
