#pragma once

#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/xml/Document.h"

namespace Tarvos::Xml {

class XmlOutput;

// A document: the root (owned, may be null) and the declaration's version and encoding.
// Externally synchronised.
class DocumentImpl final : public Document, public ObjectImpl {
public:
    DocumentImpl() = default;
    ~DocumentImpl() override;

    Node* GetRoot() const override { return _root.Get(); }
    void SetRoot(Node* root) override { _root = root; }
    std::string GetVersion() const override { return _version; }
    void SetVersion(const std::string& version) override { _version = version; }
    std::string GetEncoding() const override { return _encoding; }
    void SetEncoding(const std::string& encoding) override { _encoding = encoding; }
    void Write(Writer& out) const override;
    void WritePretty(Writer& out) const override;

    // Serializes into `text` (appending): the path of the formatter's XML argument.
    void AppendTo(std::string& text) const;

private:
    // Declaration and root at `level` (-1 compact, 0 pretty). Checks the root before anything is
    // written, so a failed write leaves the writer untouched.
    void WriteTo(Writer& out, int32_t level) const;
    void WriteTo(XmlOutput& out, int32_t level) const;

    Ref<Node> _root;
    std::string _version;
    std::string _encoding;
};

}  // namespace Tarvos::Xml
