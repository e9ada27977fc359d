#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Format.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"

namespace Tarvos::Xml {

class ElementNode;

// The kinds of node, as GetType reports them.
enum class NodeType : int32_t {
    Text = 0,
    CData = 1,
    Comment = 2,
    Element = 3,
    ProcessingInstruction = 4,
};

// A node of an XML document tree. A parent owns its first child and every child owns its next
// sibling (counted references); the other links (last child, previous sibling, parent) are
// plain pointers kept consistent by the edit operations. Releasing a node releases its subtree
// without deep recursion, whatever its depth or length.
//
// Tree edits accept only nodes made by this library's factories (a foreign or null node is an
// assertion failure). A node moved to a new place is first removed from its old parent, also
// within the same parent. An edit that would put a node below itself or its own descendant
// throws InvalidArgumentException and changes nothing. A node that outlives its parent (held
// elsewhere) becomes detached: no parent, no siblings, its own subtree intact.
//
// Thread-safety: externally synchronised; a finished tree may be read by several threads at
// once as long as nobody edits it.
class TARVOS_API Node : public virtual Object {
public:
    virtual Node* GetParent() const = 0;
    virtual Node* GetFirstChild() const = 0;
    virtual Node* GetLastChild() const = 0;
    virtual Node* GetNextSibling() const = 0;
    virtual Node* GetPreviousSibling() const = 0;
    // Makes `child` the last child.
    virtual void AppendChild(Node* child) = 0;
    // Puts `newChild` directly after `referenceChild`, a child of this node
    // (InvalidArgumentException otherwise, with nothing changed). Inserting a node next to
    // itself changes nothing.
    virtual void InsertAfter(Node* newChild, Node* referenceChild) = 0;
    // Puts `newChild` directly before `referenceChild`; as InsertAfter.
    virtual void InsertBefore(Node* newChild, Node* referenceChild) = 0;
    // Detaches `child`; InvalidArgumentException when it is not a child of this node. A child
    // not held elsewhere is destroyed.
    virtual void RemoveChild(Node* child) = 0;
    virtual NodeType GetType() const = 0;
    // Compact serialization of this node and its subtree. Text and attribute values are
    // escaped ("&lt;" "&gt;" "&amp;" "&apos;" "&quot;"; a carriage return as "&#13;", in attribute
    // values also tab and line feed as "&#9;" and "&#10;", so that they read back unchanged;
    // other bytes below 32 as "%" and two lower-case hex digits); comments, processing
    // instructions and the text inside CDATA sections are written as they are, a "]]>" inside a
    // section being split over two sections. Writer failures propagate; the text reaches the
    // writer in pieces.
    virtual void Write(Writer& out) const = 0;
    // Indented serialization: an element whose first child is an element puts each child on a
    // line of its own and every element indents itself two spaces per level.
    virtual void WritePretty(Writer& out) const = 0;
    // The first child that is an element with local name `name`, else null.
    virtual Node* FindChildElement(const std::string& name) const = 0;
    // The first following sibling that is an element with local name `name`, else null.
    virtual Node* FindNextSiblingElement(const std::string& name) const = 0;
};

}  // namespace Tarvos::Xml

// Nodes (and documents) as formatter arguments print their XML.
#include "tarvos/xml/XmlFormat.h"
