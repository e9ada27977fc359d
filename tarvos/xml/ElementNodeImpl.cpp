#include "tarvos/xml/internal/ElementNodeImpl.h"

#include <cstring>
#include <new>

namespace Tarvos::Xml {

ElementNodeImpl::ElementNodeImpl(std::string_view prefix, std::string_view name)
    : NodeImpl(NodeType::Element) {
    _prefix.Assign(prefix);
    _name.Assign(name);
}

ElementNodeImpl::~ElementNodeImpl() = default;

ElementNodeImpl* ElementNodeImpl::Make(NodeArena& arena, std::string_view qualifiedName,
                                       const std::string_view* names,
                                       const std::string_view* values, size_t count) {
    size_t attributeBytes = 0;
    for (size_t i = 0; i < count; ++i) {
        attributeBytes += names[i].size() + values[i].size();
    }
    // Block: the element, its attribute list (entries, then bytes), the name bytes.
    static_assert(sizeof(ElementNodeImpl) % alignof(AttributeEntry) == 0);
    const size_t attributeSize = AttributeList::StorageSize(count, attributeBytes);
    void* block = arena.Allocate(sizeof(ElementNodeImpl) + attributeSize + qualifiedName.size());
    auto* element = ::new (block) ElementNodeImpl();
    char* storage = static_cast<char*>(block) + sizeof(ElementNodeImpl);
    element->_attributes.Build(storage, names, values, count);
    char* nameBytes = storage + attributeSize;
    // A name that starts with ":" has no prefix: split, it would be written back without its
    // colon, as another name (":-" even as no name at all).
    const size_t colon = qualifiedName.find(':', 1);
    std::string_view local = qualifiedName;
    if (colon != std::string_view::npos) {
        std::memcpy(nameBytes, qualifiedName.data(), colon);
        element->_prefix.Borrow(nameBytes, colon, colon);
        nameBytes += colon;
        local = qualifiedName.substr(colon + 1);
    }
    if (!local.empty()) {
        std::memcpy(nameBytes, local.data(), local.size());
    }
    element->_name.Borrow(nameBytes, local.size(), local.size());
    return element;
}

bool ElementNodeImpl::GetAttribute(const std::string& name, std::string& value) const {
    const AttributeEntry* entry = _attributes.Find(name);
    if (entry == nullptr) {
        return false;
    }
    value.assign(entry->value);
    return true;
}

void ElementNodeImpl::GetAttributes(AttributeMap& attributes) const {
    attributes.clear();
    for (const AttributeEntry& entry : _attributes.Entries()) {
        attributes.emplace_hint(attributes.end(), std::string(entry.name),
                                std::string(entry.value));
    }
}

void ElementNodeImpl::SetAttribute(const std::string& name, const std::string& value) {
    _attributes.Set(name, value);
}

void CreateElementNode(const std::string& prefix, const std::string& name,
                       Ref<ElementNode>& element) {
    element = new ElementNodeImpl(prefix, name);
}

}  // namespace Tarvos::Xml
