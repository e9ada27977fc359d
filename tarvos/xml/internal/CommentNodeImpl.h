#pragma once

#include <string>
#include <string_view>

#include "tarvos/xml/CommentNode.h"
#include "tarvos/xml/internal/NodeImpl.h"
#include "tarvos/xml/internal/NodeMemory.h"
#include "tarvos/xml/internal/NodeStrings.h"

namespace Tarvos::Xml {

// A comment. Externally synchronised.
class CommentNodeImpl final : public CommentNode, public NodeImpl {
public:
    CommentNodeImpl() noexcept : NodeImpl(NodeType::Comment) {}
    ~CommentNodeImpl() override;

    // A new comment carved from `arena` with its value beside it.
    static CommentNodeImpl* Make(NodeArena& arena, std::string_view value);

    std::string GetValue() const override { return std::string(_value.View()); }
    void SetValue(const std::string& value) override { _value.Assign(value); }

    std::string_view Value() const noexcept { return _value.View(); }

private:
    NodeText _value;
};

}  // namespace Tarvos::Xml
