#pragma once

#include "tarvos/xml/CDataNode.h"
#include "tarvos/xml/internal/NodeImpl.h"
#include "tarvos/xml/internal/NodeMemory.h"

namespace Tarvos::Xml {

// A CDATA section: no state of its own, the content is its (text) children. Externally
// synchronised.
class CDataNodeImpl final : public CDataNode, public NodeImpl {
public:
    CDataNodeImpl() noexcept : NodeImpl(NodeType::CData) {}
    ~CDataNodeImpl() override;

    // A new section carved from `arena`.
    static CDataNodeImpl* Make(NodeArena& arena);
};

}  // namespace Tarvos::Xml
