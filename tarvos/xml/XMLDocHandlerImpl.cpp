#include "tarvos/xml/internal/XMLDocHandlerImpl.h"

#include <strings.h>

#include "tarvos/core/Exception.h"
#include "tarvos/xml/internal/CDataNodeImpl.h"
#include "tarvos/xml/internal/CommentNodeImpl.h"
#include "tarvos/xml/internal/ElementNodeImpl.h"
#include "tarvos/xml/internal/TextNodeImpl.h"

namespace Tarvos::Xml {

namespace {

// The parser delivers every string in UTF-8, whatever the input's declared encoding, so the
// document records UTF-8: written with the declared name (ISO-8859-1, UTF-16, US-ASCII) its
// bytes would not read back as the same characters, or not at all.
std::string RecordedEncoding(const std::string& declared) {
    if (declared.empty() || strcasecmp(declared.c_str(), "UTF-8") == 0) {
        return declared;
    }
    return "UTF-8";
}

}  // namespace

XMLDocHandlerImpl::~XMLDocHandlerImpl() = default;

void XMLDocHandlerImpl::ProcessingInstruction(const std::string&, const std::string&) {}

void XMLDocHandlerImpl::StartElement(const std::string& qualifiedName,
                                     const AttributeMap& attributes) {
    _names.clear();
    _values.clear();
    for (const auto& [name, value] : attributes) {
        _names.emplace_back(name);
        _values.emplace_back(value);
    }
    Push(Ref<NodeImpl>(ElementNodeImpl::Make(_arena, qualifiedName, _names.data(), _values.data(),
                                             _names.size())));
}

void XMLDocHandlerImpl::StartElement(const char* qualifiedName, const char** attributes) {
    _names.clear();
    _values.clear();
    for (; attributes[0] != nullptr; attributes += 2) {
        _names.emplace_back(attributes[0]);
        _values.emplace_back(attributes[1]);
    }
    Push(Ref<NodeImpl>(ElementNodeImpl::Make(_arena, qualifiedName, _names.data(), _values.data(),
                                             _names.size())));
}

void XMLDocHandlerImpl::EndElement(const std::string&) {
    // The parser has matched the end tag with its start tag already.
    Pop();
}

void XMLDocHandlerImpl::StartCData() {
    Push(Ref<NodeImpl>(CDataNodeImpl::Make(_arena)));
}

void XMLDocHandlerImpl::EndCData() {
    Pop();
}

void XMLDocHandlerImpl::Comment(const std::string& text) {
    Complete(Ref<NodeImpl>(CommentNodeImpl::Make(_arena, text)));
}

void XMLDocHandlerImpl::Comment(const char* text) {
    Complete(Ref<NodeImpl>(CommentNodeImpl::Make(_arena, text)));
}

void XMLDocHandlerImpl::CharacterData(std::string_view text) {
    if (!_open.empty()) {
        NodeImpl* last = _open.back()->LastChild();
        if (last != nullptr && last->Type() == NodeType::Text) {
            static_cast<TextNodeImpl*>(last)->AppendValue(_arena, text);
            return;
        }
    }
    Complete(Ref<NodeImpl>(TextNodeImpl::Make(_arena, text)));
}

void XMLDocHandlerImpl::XmlDeclaration(const std::string& version, const std::string& encoding) {
    if (_document.IsNull()) {
        throw InvalidStateException();
    }
    _document->SetVersion(version);
    _document->SetEncoding(RecordedEncoding(encoding));
}

void XMLDocHandlerImpl::XmlDeclaration(const char* version, const char* encoding) {
    XmlDeclaration(std::string(version != nullptr ? version : ""),
                   std::string(encoding != nullptr ? encoding : ""));
}

void XMLDocHandlerImpl::StartDocument(Ref<Document>& document) {
    _open.clear();
    _bottom.Reset();
    _document = new DocumentImpl();
    document = _document;
}

void XMLDocHandlerImpl::Push(Ref<NodeImpl>&& node) {
    NodeImpl* const raw = node.Get();
    // Grow the stack first: if that fails, the node is simply dropped.
    _open.push_back(raw);
    if (_open.size() == 1) {
        _bottom = std::move(node);
    } else {
        _open[_open.size() - 2]->AdoptLastChild(std::move(node));
    }
}

void XMLDocHandlerImpl::Pop() {
    if (_open.empty()) {
        // Only a caller driving the handler by hand can end more than it started.
        throw InvalidStateException();
    }
    _open.pop_back();
    if (_open.empty()) {
        Finish(std::move(_bottom));
    }
}

void XMLDocHandlerImpl::Complete(Ref<NodeImpl> node) {
    if (_open.empty()) {
        Finish(std::move(node));
    } else {
        _open.back()->AdoptLastChild(std::move(node));
    }
}

void XMLDocHandlerImpl::Finish(Ref<NodeImpl> node) {
    if (_document.IsNull()) {
        throw InvalidStateException();
    }
    const Node* root = _document->GetRoot();
    if (node->Type() == NodeType::Element || root == nullptr ||
        root->GetType() != NodeType::Element) {
        _document->SetRoot(node.Get());
    }
}

void CreateXMLDocHandler(Ref<XMLHandler>& handler) {
    handler = new XMLDocHandlerImpl();
}

}  // namespace Tarvos::Xml
