#include "tarvos/xml/XmlFormat.h"

#include <string>

#include "tarvos/core/StringWriter.h"
#include "tarvos/xml/Document.h"
#include "tarvos/xml/Node.h"
#include "tarvos/xml/internal/DocumentImpl.h"
#include "tarvos/xml/internal/NodeImpl.h"
#include "tarvos/xml/internal/XmlOutput.h"

namespace Tarvos::Xml {

void PrintNodeArgument(const FormatArg& arg, FormatBuffer& out) {
    const auto* node = static_cast<const Node*>(arg.GetValue().p);
    if (node == nullptr) {
        out.SetView("(null)", 6);
        return;
    }
    std::string text;
    if (const auto* impl = dynamic_cast<const NodeImpl*>(node)) {
        XmlOutput output(text);
        impl->WriteTo(output, -1);
    } else {
        Ref<StringWriter> writer;
        CreateStringWriter(writer);
        node->Write(*writer);
        text = writer->ToString();
    }
    out.Assign(std::move(text));
}

void PrintDocumentArgument(const FormatArg& arg, FormatBuffer& out) {
    const auto* document = static_cast<const Document*>(arg.GetValue().p);
    if (document == nullptr) {
        out.SetView("(null)", 6);
        return;
    }
    std::string text;
    if (const auto* impl = dynamic_cast<const DocumentImpl*>(document)) {
        impl->AppendTo(text);
    } else {
        Ref<StringWriter> writer;
        CreateStringWriter(writer);
        document->Write(*writer);
        text = writer->ToString();
    }
    out.Assign(std::move(text));
}

}  // namespace Tarvos::Xml
