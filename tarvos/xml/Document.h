#pragma once

#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"
#include "tarvos/xml/Node.h"

namespace Tarvos::Xml {

// A document: its root node (possibly none) and the version and encoding of its XML
// declaration (empty: none). Written, it is the declaration (when the version is set), a line
// feed and the root, which must be an element (TypeMismatchException otherwise, thrown before
// anything is written); nothing at all without a root.
//
// Thread-safety: externally synchronised.
class TARVOS_API Document : public virtual Object {
public:
    virtual Node* GetRoot() const = 0;
    // Takes a reference on `root` and releases the previous root.
    virtual void SetRoot(Node* root) = 0;
    virtual std::string GetVersion() const = 0;
    virtual void SetVersion(const std::string& version) = 0;
    virtual std::string GetEncoding() const = 0;
    virtual void SetEncoding(const std::string& encoding) = 0;
    // Compact serialization.
    virtual void Write(Writer& out) const = 0;
    // Indented serialization.
    virtual void WritePretty(Writer& out) const = 0;
};

// A new empty document.
TARVOS_API void CreateDocument(Ref<Document>& document);

}  // namespace Tarvos::Xml
