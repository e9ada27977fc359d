#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"
#include "tarvos/xml/Node.h"
#include "tarvos/xml/internal/NodeMemory.h"

namespace Tarvos::Xml {

class XmlOutput;

// The base of every node implementation: the five tree links, the kind, the tree edits, element
// search and the serializer. Externally synchronised (see Node).
//
// Ownership: a parent owns its first child and each child owns its next sibling (counted
// references); last child, previous sibling and parent are plain pointers. So a node linked into
// a tree is always held by the tree, and a node being destroyed is linked nowhere.
//
// Invariants (kept by every edit; checked by the tests after each kind of edit):
//  1. _firstChild and _lastChild are both null or both set.
//  2. Every child c of p has c._parent == p.
//  3. Following _nextSibling from p._firstChild reaches p._lastChild, whose _nextSibling is null.
//  4. _previousSibling is the inverse of _nextSibling; the first child's is null.
//  5. A node without a parent has no siblings.
//  6. Only NodeImpl objects are ever linked, so the links can be followed without casts.
class NodeImpl : public virtual Node, public ObjectImpl {
public:
    // Every node block carries the header that names its slab (NodeMemory.h), also a node made
    // by `new`, and is freed through it.
    static void* operator new(size_t size) { return AllocateHeapNodeBlock(size); }
    static void operator delete(void* object) noexcept { FreeNodeBlock(object); }

    Node* GetParent() const override { return _parent; }
    Node* GetFirstChild() const override { return _firstChild.Get(); }
    Node* GetLastChild() const override { return _lastChild; }
    Node* GetNextSibling() const override { return _nextSibling.Get(); }
    Node* GetPreviousSibling() const override { return _previousSibling; }

    void AppendChild(Node* child) override;
    void InsertAfter(Node* newChild, Node* referenceChild) override;
    void InsertBefore(Node* newChild, Node* referenceChild) override;
    void RemoveChild(Node* child) override;

    NodeType GetType() const override { return _type; }

    void Write(Writer& out) const override;
    void WritePretty(Writer& out) const override;

    Node* FindChildElement(const std::string& name) const override;
    Node* FindNextSiblingElement(const std::string& name) const override;

    // Serializes this node and its subtree at indent `level` (-1: compact; 0 and above: pretty,
    // with that many two-space steps before this node when it is an element). Iterative: the
    // depth of the tree costs heap, not stack.
    void WriteTo(Writer& out, int32_t level) const;
    void WriteTo(XmlOutput& out, int32_t level) const;

    // The implementation behind a Node of this library; an assertion failure for any other node
    // (including null).
    static NodeImpl* FromNode(Node* node);

    // Fast accessors for the library's own code.
    NodeImpl* FirstChild() const noexcept { return _firstChild.Get(); }
    NodeImpl* LastChild() const noexcept { return _lastChild; }
    NodeImpl* NextSibling() const noexcept { return _nextSibling.Get(); }
    NodeImpl* Parent() const noexcept { return _parent; }
    NodeType Type() const noexcept { return _type; }

    // Links `child`, a node without parent or siblings (a new one), as the last child, taking
    // over the caller's reference. No checks: for the document builder, which makes the node.
    void AdoptLastChild(Ref<NodeImpl>&& child) noexcept;

protected:
    explicit NodeImpl(NodeType type) noexcept : _type(type) {}
    // Detaches every child (they lose parent and sibling links; those held elsewhere survive as
    // detached nodes) and releases them without recursion: see NodeImpl.cpp.
    ~NodeImpl() override;

private:
    // Unlinks child `c` of this node and hands back the reference that held it.
    Ref<NodeImpl> Unlink(NodeImpl* c) noexcept;
    // Takes `n` out of its parent, if any, and returns a reference to it for relinking.
    static Ref<NodeImpl> Detach(NodeImpl* n);
    // InvalidArgumentException when linking `n` below this node would make a cycle.
    void CheckNoCycle(const NodeImpl* n) const;

    // Links, in this order (see the ownership note above).
    Ref<NodeImpl> _firstChild;
    NodeImpl* _lastChild = nullptr;
    Ref<NodeImpl> _nextSibling;
    NodeImpl* _previousSibling = nullptr;
    NodeImpl* _parent = nullptr;

    const NodeType _type;
};

}  // namespace Tarvos::Xml
