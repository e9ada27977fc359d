#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "tarvos/xml/ElementNode.h"
#include "tarvos/xml/internal/NodeImpl.h"
#include "tarvos/xml/internal/NodeMemory.h"
#include "tarvos/xml/internal/NodeStrings.h"

namespace Tarvos::Xml {

// An element: prefix, local name and attributes (sorted by name, names unique, as in an
// AttributeMap). Elements built by the parser keep all three beside themselves in their slab.
// Externally synchronised.
class ElementNodeImpl final : public ElementNode, public NodeImpl {
public:
    ElementNodeImpl(std::string_view prefix, std::string_view name);
    ~ElementNodeImpl() override;

    // A new element carved from `arena`, named by a qualified name as written (the part before
    // the first ":" is the prefix, the rest the local name; without ":", or with only a leading
    // one, the whole is the local name), with `count` attributes `names[i]` = `values[i]` (names
    // unique).
    static ElementNodeImpl* Make(NodeArena& arena, std::string_view qualifiedName,
                                 const std::string_view* names, const std::string_view* values,
                                 size_t count);

    std::string GetPrefix() const override { return std::string(_prefix.View()); }
    void SetPrefix(const std::string& prefix) override { _prefix.Assign(prefix); }
    std::string GetName() const override { return std::string(_name.View()); }
    void SetName(const std::string& name) override { _name.Assign(name); }
    bool GetAttribute(const std::string& name, std::string& value) const override;
    void GetAttributes(AttributeMap& attributes) const override;
    void SetAttribute(const std::string& name, const std::string& value) override;

    std::string_view Prefix() const noexcept { return _prefix.View(); }
    std::string_view Name() const noexcept { return _name.View(); }
    const AttributeList& Attributes() const noexcept { return _attributes; }

private:
    ElementNodeImpl() noexcept : NodeImpl(NodeType::Element) {}

    NodeText _prefix;
    NodeText _name;
    AttributeList _attributes;
};

}  // namespace Tarvos::Xml
