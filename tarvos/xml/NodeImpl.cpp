// Tree edits, release and serialization of the node implementations.
//
// Release. Destroying a node must cost neither stack depth nor recursion along sibling chains,
// whatever the shape of the tree: a document nested 100,000 elements deep is released like a
// flat one. A dying node therefore never drops its children's references itself: it hands its
// chain of children (the first child, which owns the rest through the next-sibling links) to a
// per-thread pending list, and the outermost node destructor on the thread then works through
// that list. Taking a chain's head, it first moves the rest of the chain back onto the list,
// clears the head's links (so a node held elsewhere survives as a proper detached node) and then
// drops the head's reference; a head that dies pushes its own children on top. Nodes are thus
// released in document order, one destructor frame deep, each touched once.
//
// The pending list is threaded through the chain heads' _previousSibling, which is free while a
// head waits: its previous sibling is gone, and no code outside this file runs between push and
// pop.
//
// Serialization. WriteTo walks the subtree with an explicit stack of open elements and CDATA
// sections (one frame per open node, on the heap), emitting the opening text on the way down,
// the separators between children and the closing text on the way up.

#include "tarvos/xml/internal/NodeImpl.h"

#include <vector>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Panic.h"
#include "tarvos/xml/internal/CommentNodeImpl.h"
#include "tarvos/xml/internal/ElementNodeImpl.h"
#include "tarvos/xml/internal/ProcessingInstructionNodeImpl.h"
#include "tarvos/xml/internal/TextNodeImpl.h"
#include "tarvos/xml/internal/XmlOutput.h"

namespace Tarvos::Xml {

namespace {

// The heads of the sibling chains this thread is about to release, each holding the reference
// that owned it, linked through _previousSibling (see the note above).
thread_local NodeImpl* t_pendingRelease = nullptr;
// Set while the outermost node destructor of this thread works through the list.
thread_local bool t_draining = false;

// Puts the sibling chain starting at `head` (holding one reference on it) onto the list.
void PushChain(NodeImpl* head, NodeImpl*& link) noexcept {
    link = t_pendingRelease;
    t_pendingRelease = head;
}

}  // namespace

NodeImpl::~NodeImpl() {
    if (NodeImpl* first = _firstChild.Release()) {
        PushChain(first, first->_previousSibling);
    }
    _lastChild = nullptr;
    // A dying node is linked nowhere (invariant 5 and the ownership rule), so it holds no next
    // sibling; should one ever be left, it is released the same way.
    if (NodeImpl* next = _nextSibling.Release()) {
        PushChain(next, next->_previousSibling);
    }
    if (t_draining) {
        return;
    }
    t_draining = true;
    while (t_pendingRelease != nullptr) {
        NodeImpl* node = t_pendingRelease;
        t_pendingRelease = node->_previousSibling;
        if (NodeImpl* rest = node->_nextSibling.Release()) {
            PushChain(rest, rest->_previousSibling);
        }
        node->_previousSibling = nullptr;
        node->_parent = nullptr;
        node->DecRef();
    }
    t_draining = false;
}

NodeImpl* NodeImpl::FromNode(Node* node) {
    auto* impl = dynamic_cast<NodeImpl*>(node);
    TARVOS_VERIFY(impl != nullptr);
    return impl;
}

void NodeImpl::AdoptLastChild(Ref<NodeImpl>&& child) noexcept {
    NodeImpl* c = child.Get();
    c->_parent = this;
    c->_previousSibling = _lastChild;
    if (_lastChild != nullptr) {
        _lastChild->_nextSibling = std::move(child);
    } else {
        _firstChild = std::move(child);
    }
    _lastChild = c;
}

Ref<NodeImpl> NodeImpl::Unlink(NodeImpl* c) noexcept {
    NodeImpl* const previous = c->_previousSibling;
    Ref<NodeImpl>& holder = previous != nullptr ? previous->_nextSibling : _firstChild;
    // Take c's reference out of the chain first, so that c lives until the caller is done.
    Ref<NodeImpl> owned = std::move(holder);
    holder = std::move(c->_nextSibling);
    if (NodeImpl* next = holder.Get()) {
        next->_previousSibling = previous;
    } else {
        _lastChild = previous;
    }
    c->_previousSibling = nullptr;
    c->_parent = nullptr;
    return owned;
}

Ref<NodeImpl> NodeImpl::Detach(NodeImpl* n) {
    if (n->_parent != nullptr) {
        return n->_parent->Unlink(n);
    }
    return Ref<NodeImpl>(n);
}

void NodeImpl::CheckNoCycle(const NodeImpl* n) const {
    if (n == this) {
        throw InvalidArgumentException("a node cannot become its own child");
    }
    // A node without children cannot be an ancestor of this one, so building a tree downwards
    // costs no walk; moving a subtree costs one walk up from the new parent.
    if (n->_firstChild.IsNull()) {
        return;
    }
    for (const NodeImpl* p = _parent; p != nullptr; p = p->_parent) {
        if (p == n) {
            throw InvalidArgumentException("a node cannot be moved below its own descendant");
        }
    }
}

void NodeImpl::AppendChild(Node* child) {
    NodeImpl* const n = FromNode(child);
    CheckNoCycle(n);
    AdoptLastChild(Detach(n));
}

void NodeImpl::InsertAfter(Node* newChild, Node* referenceChild) {
    NodeImpl* const n = FromNode(newChild);
    NodeImpl* const r = FromNode(referenceChild);
    if (r->_parent != this) {
        throw InvalidArgumentException("InsertAfter: the reference node is not a child");
    }
    if (n == r) {
        return;
    }
    CheckNoCycle(n);
    Ref<NodeImpl> owned = Detach(n);
    n->_parent = this;
    n->_nextSibling = std::move(r->_nextSibling);
    if (NodeImpl* next = n->_nextSibling.Get()) {
        next->_previousSibling = n;
    } else {
        _lastChild = n;
    }
    n->_previousSibling = r;
    r->_nextSibling = std::move(owned);
}

void NodeImpl::InsertBefore(Node* newChild, Node* referenceChild) {
    NodeImpl* const n = FromNode(newChild);
    NodeImpl* const r = FromNode(referenceChild);
    if (r->_parent != this) {
        throw InvalidArgumentException("InsertBefore: the reference node is not a child");
    }
    if (n == r) {
        return;
    }
    CheckNoCycle(n);
    Ref<NodeImpl> owned = Detach(n);
    n->_parent = this;
    n->_previousSibling = r->_previousSibling;
    Ref<NodeImpl>& holder =
        r->_previousSibling != nullptr ? r->_previousSibling->_nextSibling : _firstChild;
    n->_nextSibling = std::move(holder);
    holder = std::move(owned);
    r->_previousSibling = n;
}

void NodeImpl::RemoveChild(Node* child) {
    if (child == nullptr || child->GetParent() != static_cast<Node*>(this)) {
        throw InvalidArgumentException("RemoveChild: not a child of this node");
    }
    // Dropped on return, after the links are consistent again.
    Ref<NodeImpl> owned = Unlink(FromNode(child));
}

Node* NodeImpl::FindChildElement(const std::string& name) const {
    for (NodeImpl* c = _firstChild.Get(); c != nullptr; c = c->_nextSibling.Get()) {
        if (c->_type == NodeType::Element && static_cast<ElementNodeImpl*>(c)->Name() == name) {
            return c;
        }
    }
    return nullptr;
}

Node* NodeImpl::FindNextSiblingElement(const std::string& name) const {
    for (NodeImpl* c = _nextSibling.Get(); c != nullptr; c = c->_nextSibling.Get()) {
        if (c->_type == NodeType::Element && static_cast<ElementNodeImpl*>(c)->Name() == name) {
            return c;
        }
    }
    return nullptr;
}

void NodeImpl::Write(Writer& out) const {
    WriteTo(out, -1);
}

void NodeImpl::WritePretty(Writer& out) const {
    WriteTo(out, 0);
}

void NodeImpl::WriteTo(Writer& out, int32_t level) const {
    XmlOutput output(out);
    WriteTo(output, level);
    output.Finish();
}

namespace {

void AppendElementName(XmlOutput& out, const ElementNodeImpl& element) {
    if (!element.Prefix().empty()) {
        out.Append(element.Prefix());
        out.Append(':');
    }
    out.Append(element.Name());
}

// An element or CDATA section whose children are being written.
struct OpenNode {
    const NodeImpl* node;
    // The child to write next, null when all are written.
    const NodeImpl* next;
    // The node's own level, and its children's.
    int32_t level;
    int32_t childLevel;
    // Each child goes on a line of its own (pretty mode, first child an element).
    bool lineMode;
    // CDATA sections: how many "]" ended the content so far (see XmlOutput::AppendCDataText).
    int brackets;
};

}  // namespace

void NodeImpl::WriteTo(XmlOutput& out, int32_t level) const {
    std::vector<OpenNode> open;
    const NodeImpl* node = this;
    for (;;) {
        // Write the opening of `node` at `level`; an element or section with children is opened.
        switch (node->_type) {
            case NodeType::Text: {
                const auto& text = static_cast<const TextNodeImpl*>(node)->Value();
                if (!open.empty() && open.back().node->_type == NodeType::CData) {
                    out.AppendCDataText(text, open.back().brackets);
                } else {
                    out.AppendEscapedText(text);
                }
                break;
            }
            case NodeType::Comment:
                out.Append("<!--");
                out.Append(static_cast<const CommentNodeImpl*>(node)->Value());
                out.Append("-->");
                break;
            case NodeType::ProcessingInstruction: {
                const auto* pi = static_cast<const ProcessingInstructionNodeImpl*>(node);
                out.Append("<?");
                out.Append(pi->Target());
                out.Append(' ');
                out.Append(pi->Data());
                out.Append("?>");
                break;
            }
            case NodeType::CData:
                out.Append("<![CDATA[");
                open.push_back({node, node->FirstChild(), level, level, false, 0});
                break;
            case NodeType::Element: {
                const auto* element = static_cast<const ElementNodeImpl*>(node);
                if (level >= 0) {
                    out.Indent(level);
                }
                out.Append('<');
                AppendElementName(out, *element);
                for (const auto& [name, value] : element->Attributes().Entries()) {
                    out.Append(' ');
                    out.Append(name);
                    out.Append("=\"");
                    out.AppendEscapedAttribute(value);
                    out.Append('"');
                }
                const NodeImpl* first = node->FirstChild();
                if (first == nullptr) {
                    out.Append("/>");
                    break;
                }
                out.Append('>');
                open.push_back({node, first, level, level >= 0 ? level + 1 : -1,
                                level >= 0 && first->_type == NodeType::Element, 0});
                break;
            }
        }
        // Close what is finished and find the next child to write.
        node = nullptr;
        while (!open.empty()) {
            OpenNode& top = open.back();
            if (top.next != nullptr) {
                node = top.next;
                level = top.childLevel;
                top.next = node->NextSibling();
                if (node->_type != NodeType::Text) {
                    // Markup of any other kind ends in ">", never in "]".
                    top.brackets = 0;
                }
                if (top.lineMode) {
                    out.Append('\n');
                }
                break;
            }
            if (top.node->_type == NodeType::CData) {
                out.Append("]]>");
            } else {
                if (top.lineMode) {
                    out.Append('\n');
                    out.Indent(top.level);
                }
                out.Append("</");
                AppendElementName(out, *static_cast<const ElementNodeImpl*>(top.node));
                out.Append('>');
            }
            open.pop_back();
        }
        if (node == nullptr) {
            return;
        }
    }
}

}  // namespace Tarvos::Xml
