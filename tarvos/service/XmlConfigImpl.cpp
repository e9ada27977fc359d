#include "tarvos/service/XmlConfigImpl.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Format.h"
#include "tarvos/xml/CDataNode.h"
#include "tarvos/xml/Document.h"
#include "tarvos/xml/ElementNode.h"
#include "tarvos/xml/Node.h"
#include "tarvos/xml/TextNode.h"
#include "tarvos/xml/XMLHandler.h"

#include "tarvos/service/internal/ConfigText.h"

namespace Tarvos::Service {

namespace {

using Node = ConfigBase::Node;

constexpr char kKeyAttribute[] = "id";
constexpr char kBothValueAndChildren[] = "Node has both value and children";
constexpr char kDuplicateChild[] = "Duplicate child: ";
constexpr char kNoRootElement[] = "The document has no root element";
constexpr char kNameError[] = "Element name cannot be written as XML: %1";
constexpr char kKeyError[] = "Key cannot be written as XML: %1";
constexpr char kValueError[] = "Value cannot be written as XML: %1";
constexpr char kRootNameError[] = "Root element name cannot be written as XML: %1";

bool HasContent(std::string_view text) {
    for (const char c : text) {
        if (!IsConfigSpace(c)) {
            return true;
        }
    }
    return false;
}

// White space as the C library classifies the characters below 128.
bool IsAsciiSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool NeedsQuotes(const std::string& value) {
    if (value.empty()) {
        return false;
    }
    return IsAsciiSpace(value.front()) || IsAsciiSpace(value.back()) ||
           (value.front() == '"' && value.back() == '"');
}

// Whether `text` is valid UTF-8 of characters that XML 1.0 allows and that read back unchanged
// (the writer turns other control characters into "%xx", which would not).
bool IsXmlText(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            if (lead < 0x20 && lead != '\t' && lead != '\n' && lead != '\r') {
                return false;
            }
            ++p;
            continue;
        }
        int length;
        uint32_t code;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (end - p < length) {
            return false;
        }
        for (int i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, surrogates, beyond U+10FFFF, and the two non-characters XML excludes.
        const uint32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (code < minimum || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF ||
            code == 0xFFFE || code == 0xFFFF) {
            return false;
        }
        p += length;
    }
    return true;
}

bool IsAsciiNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}

bool IsAsciiNameChar(char c) {
    return IsAsciiNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// The element's name as a node name: the qualified name as written.
std::string QualifiedName(const Xml::ElementNode& element) {
    std::string prefix = element.GetPrefix();
    if (prefix.empty()) {
        return element.GetName();
    }
    return prefix.append(":").append(element.GetName());
}

// An element for a node name, split as the parser splits a name it reads: the text before the
// first colon is the prefix, unless that colon leads the name (which then has no prefix).
Ref<Xml::ElementNode> MakeElement(const std::string& name) {
    const size_t colon = name.find(':', 1);
    Ref<Xml::ElementNode> element;
    if (colon == std::string::npos) {
        Xml::CreateElementNode(std::string(), name, element);
    } else {
        Xml::CreateElementNode(name.substr(0, colon), name.substr(colon + 1), element);
    }
    return element;
}

// The text of a node's value. An element without text reads back as the empty value only below
// the document element, so the root's empty value is written as a pair of quotes.
void AppendText(Xml::Node& element, const std::string& value, bool isRoot) {
    Ref<Xml::TextNode> text;
    Xml::CreateTextNode(text);
    text->SetValue(NeedsQuotes(value) || (isRoot && value.empty()) ? "\"" + value + "\"" : value);
    element.AppendChild(text.Get());
}

// The content of a CDATA section: its text children.
void AppendCDataText(const Xml::Node& section, std::string& text) {
    for (const Xml::Node* child = section.GetFirstChild(); child != nullptr;
         child = child->GetNextSibling()) {
        if (const auto* piece = dynamic_cast<const Xml::TextNode*>(child)) {
            text.append(piece->GetValue());
        }
    }
}

// An element being applied: its node and the text gathered from its content so far.
struct OpenElement {
    OpenElement(const Xml::Node* first, Ref<Node> of) : nextChild(first), node(std::move(of)) {}

    const Xml::Node* nextChild;
    Ref<Node> node;
    std::string text;
    bool hasContent = false;
};

// Gives the node of a finished element its value.
void FinishElement(OpenElement& open, bool isRoot) {
    if (open.hasContent) {
        if (open.node->HasChildren()) {
            throw FileFormatException(kBothValueAndChildren);
        }
        std::string_view value = TrimConfigSpace(open.text);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        open.node->SetValue(std::string(value));
    } else if (!isRoot && !open.node->HasChildren()) {
        open.node->SetValue(std::string());
    }
}

// Applies the element rule to the content of `rootElement`, with `root` standing for it. Uses
// its own stack, so the depth of the document is bounded by memory only.
void ApplyElements(const Xml::ElementNode& rootElement, const Ref<Node>& root) {
    std::vector<OpenElement> open;
    open.emplace_back(rootElement.GetFirstChild(), root);
    while (!open.empty()) {
        OpenElement& top = open.back();
        const Xml::Node* const child = top.nextChild;
        if (child == nullptr) {
            FinishElement(top, open.size() == 1);
            open.pop_back();
            continue;
        }
        top.nextChild = child->GetNextSibling();
        switch (child->GetType()) {
            case Xml::NodeType::Text: {
                const std::string piece = dynamic_cast<const Xml::TextNode&>(*child).GetValue();
                top.hasContent = top.hasContent || HasContent(piece);
                top.text.append(piece);
                break;
            }
            case Xml::NodeType::CData: {
                // A CDATA section is text written another way; dropping it would lose the value.
                const size_t from = top.text.size();
                AppendCDataText(*child, top.text);
                top.hasContent =
                    top.hasContent || HasContent(std::string_view(top.text).substr(from));
                break;
            }
            case Xml::NodeType::Element: {
                if (top.hasContent) {
                    throw FileFormatException(kBothValueAndChildren);
                }
                const auto& element = dynamic_cast<const Xml::ElementNode&>(*child);
                std::optional<std::string> key;
                std::string id;
                if (element.GetAttribute(kKeyAttribute, id)) {
                    key = std::move(id);
                }
                Ref<Node> node(new Node(QualifiedName(element), std::move(key)));
                if (!top.node->AddChild(node)) {
                    throw FileFormatException(kDuplicateChild + node->GetElementText());
                }
                open.emplace_back(element.GetFirstChild(), std::move(node));
                break;
            }
            default:
                break;
        }
    }
}

}  // namespace

XmlConfigImpl::XmlConfigImpl(const Ref<ConfigBackend>& backend)
    : ConfigBase(backend), _rootElementName(kDefaultRootElementName) {}

XmlConfigImpl::~XmlConfigImpl() = default;

void XmlConfigImpl::EnsureParser() {
    if (!_parser) {
        Ref<Xml::XMLHandler> handler;
        Xml::CreateXMLDocHandler(handler);
        Xml::CreateXMLParser(handler, _parser);
    }
}

void XmlConfigImpl::ReadTree(Reader& reader) {
    EnsureParser();
    Ref<Xml::Document> document;
    _parser->Parse(reader, document);
    const auto* const rootElement =
        document ? dynamic_cast<const Xml::ElementNode*>(document->GetRoot()) : nullptr;
    if (rootElement == nullptr) {
        throw FileFormatException(kNoRootElement);
    }
    _rootElementName = QualifiedName(*rootElement);
    ApplyElements(*rootElement, GetRoot());
}

bool XmlConfigImpl::IsWritableName(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    bool plainAscii = true;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (static_cast<unsigned char>(c) >= 0x80) {
            plainAscii = false;
        } else if (i == 0 ? !IsAsciiNameStart(c) : !IsAsciiNameChar(c)) {
            return false;
        }
    }
    if (plainAscii) {
        return true;
    }
    // Which characters beyond ASCII make a name is the parser's table: ask the parser.
    if (!IsXmlText(name)) {
        return false;
    }
    EnsureParser();
    try {
        Ref<Xml::Document> probe;
        _parser->Parse("<" + name + "/>", probe);
        return true;
    } catch (const Xml::XMLParseException&) {
        return false;
    }
}

void XmlConfigImpl::WriteTree(Writer& writer) {
    if (!IsWritableName(_rootElementName)) {
        throw FileFormatException(FormatString(kRootNameError, _rootElementName));
    }
    Ref<Xml::Document> document;
    Xml::CreateDocument(document);
    document->SetVersion("1.0");
    document->SetEncoding("UTF-8");
    const Ref<Xml::ElementNode> rootElement = MakeElement(_rootElementName);
    document->SetRoot(rootElement.Get());

    // Names repeat throughout a tree; each distinct one beyond ASCII is checked once.
    std::unordered_set<std::string> checkedNames;
    struct Pending {
        const Node* node;
        Ref<Xml::ElementNode> element;
        int level;
    };
    int depth = 0;
    std::vector<Pending> pending;
    pending.push_back({GetRoot().Get(), rootElement, 0});
    while (!pending.empty()) {
        const Pending entry = std::move(pending.back());
        pending.pop_back();
        const Node* const node = entry.node;
        const Ref<Xml::ElementNode>& element = entry.element;
        depth = std::max(depth, entry.level);
        if (node->GetParent()) {
            if (!checkedNames.contains(node->GetName())) {
                if (!IsWritableName(node->GetName())) {
                    throw FileFormatException(FormatString(kNameError, node->GetPath()));
                }
                checkedNames.insert(node->GetName());
            }
            if (const auto& key = node->GetKey()) {
                if (!IsXmlText(*key)) {
                    throw FileFormatException(FormatString(kKeyError, node->GetPath()));
                }
                element->SetAttribute(kKeyAttribute, *key);
            }
        }
        if (const auto& value = node->GetValue()) {
            if (!IsXmlText(*value)) {
                throw FileFormatException(FormatString(kValueError, node->GetPath()));
            }
            AppendText(*element, *value, !node->GetParent());
        }
        for (const Ref<Node>& child : node->GetChildren()) {
            Ref<Xml::ElementNode> childElement = MakeElement(child->GetName());
            element->AppendChild(childElement.Get());
            pending.push_back({child.Get(), std::move(childElement), entry.level + 1});
        }
    }
    if (depth > kPrettyDepthLimit) {
        document->Write(writer);
    } else {
        document->WritePretty(writer);
    }
    writer.Write("\n", 1);
    writer.Flush();
}

}  // namespace Tarvos::Service
