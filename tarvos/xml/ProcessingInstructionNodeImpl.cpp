#include "tarvos/xml/internal/ProcessingInstructionNodeImpl.h"

namespace Tarvos::Xml {

ProcessingInstructionNodeImpl::~ProcessingInstructionNodeImpl() = default;

void CreateProcessingInstructionNode(Ref<ProcessingInstructionNode>& instruction) {
    instruction = new ProcessingInstructionNodeImpl();
}

}  // namespace Tarvos::Xml
