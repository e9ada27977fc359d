#pragma once

#include <string>

#include "tarvos/xml/ProcessingInstructionNode.h"
#include "tarvos/xml/internal/NodeImpl.h"

namespace Tarvos::Xml {

// A processing instruction: target, then data. Externally synchronised.
class ProcessingInstructionNodeImpl final : public ProcessingInstructionNode, public NodeImpl {
public:
    ProcessingInstructionNodeImpl() : NodeImpl(NodeType::ProcessingInstruction) {}
    ~ProcessingInstructionNodeImpl() override;

    std::string GetTarget() const override { return _target; }
    void SetTarget(const std::string& target) override { _target = target; }
    std::string GetData() const override { return _data; }
    void SetData(const std::string& data) override { _data = data; }

    const std::string& Target() const noexcept { return _target; }
    const std::string& Data() const noexcept { return _data; }

private:
    std::string _target;
    std::string _data;
};

}  // namespace Tarvos::Xml
