#pragma once

#include <map>
#include <string>

#include "tarvos/xml/Node.h"

namespace Tarvos::Xml {

// Attributes by name, sorted by name (they are written in this order).
using AttributeMap = std::map<std::string, std::string>;

// An element: a namespace prefix (empty when none), a local name and its attributes.
class TARVOS_API ElementNode : public virtual Node {
public:
    virtual std::string GetPrefix() const = 0;
    virtual void SetPrefix(const std::string& prefix) = 0;
    // The local name.
    virtual std::string GetName() const = 0;
    virtual void SetName(const std::string& name) = 0;
    // False, leaving `value` untouched, when there is no attribute `name`.
    virtual bool GetAttribute(const std::string& name, std::string& value) const = 0;
    // `attributes` becomes a copy of all attributes.
    virtual void GetAttributes(AttributeMap& attributes) const = 0;
    // Inserts or replaces.
    virtual void SetAttribute(const std::string& name, const std::string& value) = 0;
};

// A new element without attributes or children.
TARVOS_API void CreateElementNode(const std::string& prefix, const std::string& name,
                                  Ref<ElementNode>& element);

}  // namespace Tarvos::Xml
