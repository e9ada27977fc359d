#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tarvos/core/Ref.h"
#include "tarvos/xml/XMLHandler.h"
#include "tarvos/xml/internal/DocumentImpl.h"
#include "tarvos/xml/internal/NodeImpl.h"
#include "tarvos/xml/internal/NodeMemory.h"

namespace Tarvos::Xml {

// Builds a Document from parse events. Confined to one thread at a time.
//
// State: the document being built (set by StartDocument) and the stack of open nodes (elements
// and CDATA sections whose end has not been seen).
// Invariants:
//  1. Every open node but the bottom one is the last child of the node below it, so the tree
//     owns it; the bottom one is owned by _bottom until it completes.
//  2. Character data arriving while the top node's last child is a text node is appended to
//     that node, so one run of text is one node however the parser split it.
//  3. A node completed with the stack empty becomes the root, except that a node other than an
//     element never replaces an element root (a comment after the root element keeps it).
//  4. Nodes are carved from _arena (NodeMemory.h), which leaves its slab when a parse ends.
class XMLDocHandlerImpl final : public XMLHandler, public ObjectImpl {
public:
    XMLDocHandlerImpl() = default;
    ~XMLDocHandlerImpl() override;

    void ProcessingInstruction(const std::string& target, const std::string& data) override;
    void StartElement(const std::string& qualifiedName, const AttributeMap& attributes) override;
    void EndElement(const std::string& qualifiedName) override;
    void StartCData() override;
    void EndCData() override;
    void Comment(const std::string& text) override;
    void CharacterData(std::string_view text) override;
    void XmlDeclaration(const std::string& version, const std::string& encoding) override;
    void StartDocument(Ref<Document>& document) override;

    // The parser's direct path: the same events in expat's own form, without building strings
    // and attribute maps first. `attributes` is expat's null-terminated name/value array.
    void StartElement(const char* qualifiedName, const char** attributes);
    void EndElement() { Pop(); }
    void Comment(const char* text);
    void XmlDeclaration(const char* version, const char* encoding);
    // The parse is over: no more nodes are carved from the current slab.
    void EndDocument() noexcept { _arena.Leave(); }

private:
    void Push(Ref<NodeImpl>&& node);
    void Pop();
    // A node that opens and completes at once (comment, text).
    void Complete(Ref<NodeImpl> node);
    // A node completed with the stack empty (invariant 3).
    void Finish(Ref<NodeImpl> node);

    // Where the nodes of a parse are carved from.
    NodeArena _arena;
    // Scratch space for the attributes of a start tag.
    std::vector<std::string_view> _names;
    std::vector<std::string_view> _values;

    Ref<DocumentImpl> _document;
    // Open nodes, bottom first; not owning (invariant 1).
    std::vector<NodeImpl*> _open;
    Ref<NodeImpl> _bottom;
};

}  // namespace Tarvos::Xml
