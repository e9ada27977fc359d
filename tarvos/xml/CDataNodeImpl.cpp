#include "tarvos/xml/internal/CDataNodeImpl.h"

#include <new>

namespace Tarvos::Xml {

CDataNodeImpl::~CDataNodeImpl() = default;

CDataNodeImpl* CDataNodeImpl::Make(NodeArena& arena) {
    return ::new (arena.Allocate(sizeof(CDataNodeImpl))) CDataNodeImpl();
}

void CreateCDataNode(Ref<CDataNode>& section) {
    section = new CDataNodeImpl();
}

}  // namespace Tarvos::Xml
