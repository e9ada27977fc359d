#pragma once

#include "tarvos/xml/Node.h"

namespace Tarvos::Xml {

// A CDATA section; its content is its children (text nodes).
class TARVOS_API CDataNode : public virtual Node {};

// A new, empty CDATA section.
TARVOS_API void CreateCDataNode(Ref<CDataNode>& section);

}  // namespace Tarvos::Xml
