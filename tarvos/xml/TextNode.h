#pragma once

#include <string>

#include "tarvos/xml/Node.h"

namespace Tarvos::Xml {

// Character data; written with markup characters escaped.
class TARVOS_API TextNode : public virtual Node {
public:
    virtual std::string GetValue() const = 0;
    virtual void SetValue(const std::string& value) = 0;
};

// A new text node with an empty value.
TARVOS_API void CreateTextNode(Ref<TextNode>& text);

}  // namespace Tarvos::Xml
