#pragma once

#include <string>

#include "tarvos/xml/Node.h"

namespace Tarvos::Xml {

// A comment; written as "<!--" value "-->".
class TARVOS_API CommentNode : public virtual Node {
public:
    virtual std::string GetValue() const = 0;
    virtual void SetValue(const std::string& value) = 0;
};

// A new comment with an empty value.
TARVOS_API void CreateCommentNode(Ref<CommentNode>& comment);

}  // namespace Tarvos::Xml
