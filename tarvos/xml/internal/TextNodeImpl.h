#pragma once

#include <string>
#include <string_view>

#include "tarvos/xml/TextNode.h"
#include "tarvos/xml/internal/NodeImpl.h"
#include "tarvos/xml/internal/NodeMemory.h"
#include "tarvos/xml/internal/NodeStrings.h"

namespace Tarvos::Xml {

// Character data. Externally synchronised.
class TextNodeImpl final : public TextNode, public NodeImpl {
public:
    TextNodeImpl() noexcept : NodeImpl(NodeType::Text) {}
    ~TextNodeImpl() override;

    // A new text node carved from `arena` with its value beside it.
    static TextNodeImpl* Make(NodeArena& arena, std::string_view value);

    std::string GetValue() const override { return std::string(_value.View()); }
    void SetValue(const std::string& value) override { _value.Assign(value); }

    std::string_view Value() const noexcept { return _value.View(); }
    // Adds a further chunk of the same run of character data, in place when `arena` can grow
    // the node's block.
    void AppendValue(NodeArena& arena, std::string_view more);

private:
    NodeText _value;
};

}  // namespace Tarvos::Xml
