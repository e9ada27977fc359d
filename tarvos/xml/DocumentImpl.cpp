#include "tarvos/xml/internal/DocumentImpl.h"

#include "tarvos/core/Exception.h"
#include "tarvos/core/StringWriter.h"
#include "tarvos/xml/internal/NodeImpl.h"
#include "tarvos/xml/internal/XmlOutput.h"

namespace Tarvos::Xml {

namespace {

void AppendDeclaration(XmlOutput& out, const std::string& version, const std::string& encoding) {
    if (version.empty()) {
        return;
    }
    out.Append("<?xml version=\"");
    out.Append(version);
    out.Append('"');
    if (!encoding.empty()) {
        out.Append(" encoding=\"");
        out.Append(encoding);
        out.Append('"');
    }
    out.Append("?>\n");
}

void CheckRoot(const Node& root) {
    if (root.GetType() != NodeType::Element) {
        throw TypeMismatchException("XML document: the root node is not an element");
    }
}

}  // namespace

DocumentImpl::~DocumentImpl() = default;

void DocumentImpl::Write(Writer& out) const {
    WriteTo(out, -1);
}

void DocumentImpl::WritePretty(Writer& out) const {
    WriteTo(out, 0);
}

void DocumentImpl::WriteTo(Writer& out, int32_t level) const {
    XmlOutput output(out);
    WriteTo(output, level);
    output.Finish();
}

void DocumentImpl::AppendTo(std::string& text) const {
    XmlOutput output(text);
    WriteTo(output, -1);
}

void DocumentImpl::WriteTo(XmlOutput& out, int32_t level) const {
    if (_root.IsNull()) {
        return;
    }
    CheckRoot(*_root);
    AppendDeclaration(out, _version, _encoding);
    if (auto* root = dynamic_cast<const NodeImpl*>(_root.Get())) {
        root->WriteTo(out, level);
        return;
    }
    // A root of another implementation writes itself through its public operations.
    Ref<StringWriter> text;
    CreateStringWriter(text);
    if (level < 0) {
        _root->Write(*text);
    } else {
        _root->WritePretty(*text);
    }
    out.Append(text->ToString());
}

void CreateDocument(Ref<Document>& document) {
    document = new DocumentImpl();
}

}  // namespace Tarvos::Xml
