#pragma once

#include <string>

#include "tarvos/xml/Node.h"

namespace Tarvos::Xml {

// A processing instruction; written as "<?" target " " data "?>".
class TARVOS_API ProcessingInstructionNode : public virtual Node {
public:
    virtual std::string GetTarget() const = 0;
    virtual void SetTarget(const std::string& target) = 0;
    virtual std::string GetData() const = 0;
    virtual void SetData(const std::string& data) = 0;
};

// A new processing instruction with empty target and data.
TARVOS_API void CreateProcessingInstructionNode(Ref<ProcessingInstructionNode>& instruction);

}  // namespace Tarvos::Xml
