#pragma once

#include <string>
#include <string_view>

#include "tarvos/core/Ref.h"
#include "tarvos/xml/Document.h"
#include "tarvos/xml/ElementNode.h"

namespace Tarvos::Xml {

// Receives the events of a parse, in document order.
class TARVOS_API XMLHandler : public virtual Object {
public:
    // Never called by the parser (processing instructions are not reported); the document
    // builder ignores it.
    virtual void ProcessingInstruction(const std::string& target, const std::string& data) = 0;
    // A start tag: the qualified name as written (prefix, colon, local name) and its attributes.
    virtual void StartElement(const std::string& qualifiedName, const AttributeMap& attributes) = 0;
    virtual void EndElement(const std::string& qualifiedName) = 0;
    virtual void StartCData() = 0;
    virtual void EndCData() = 0;
    virtual void Comment(const std::string& text) = 0;
    // A chunk of character data; one run of text may arrive in several chunks.
    virtual void CharacterData(std::string_view text) = 0;
    // The XML declaration; empty texts where the declaration has none.
    virtual void XmlDeclaration(const std::string& version, const std::string& encoding) = 0;
    // A parse begins; the document builder stores the document it builds in `document`.
    virtual void StartDocument(Ref<Document>& document) = 0;
};

// A handler that builds a Document: adjacent character data merges into one text node
// (whitespace between elements included); a node completed outside every element becomes the
// root, except that anything but an element never replaces an element root (so comments after
// the root element leave it in place). The parser delivers UTF-8 whatever the input's
// encoding, so a declared encoding other than UTF-8 is recorded as "UTF-8". The handler keeps
// the document it built until the next StartDocument. Confined to one thread at a time.
TARVOS_API void CreateXMLDocHandler(Ref<XMLHandler>& handler);

}  // namespace Tarvos::Xml
