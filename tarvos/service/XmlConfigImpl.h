#pragma once

#include <string>

#include "tarvos/core/Export.h"
#include "tarvos/core/Reader.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"
#include "tarvos/service/ConfigBackend.h"
#include "tarvos/service/ConfigBase.h"
#include "tarvos/xml/XMLParser.h"

namespace Tarvos::Service {

// A configuration stored as an XML document.
//
// The document element stands for the tree's root node; its name is the root element name
// ("ConfigRoot" until a load finds another). Every node below the root is an element named after
// the node (its qualified name: prefix, colon, local name), carrying the attribute "id" with
// the node's key when it has one. A node with children holds their elements in child order; a
// node with a value holds one text: the value, between double quotes when it begins or ends with
// white space or both begins and ends with a double quote, else as it is.
//
// Loading applies the element rule to the document element's children, iteratively (documents
// of any depth): an element becomes a child node (FileFormatException "File Format Exception:
// Duplicate child: " and the element text for a second sibling of equal name and key); its text
// and CDATA content, trimmed of spaces, tabs, carriage returns and line feeds and stripped of one
// pair of enclosing double quotes, becomes its value; an element with neither text nor children
// gets the empty value; text beside child elements throws FileFormatException "File Format
// Exception: Node has both value and children". Comments and other attributes are ignored.
// Malformed XML throws the parser's XMLParseException.
//
// Saving refuses, with FileFormatException, a tree that XML cannot carry: names that are not XML
// names, and keys or values that are not valid UTF-8 or hold control characters other than tab,
// line feed and carriage return. The document is written indented, or compact for trees deeper
// than kPrettyDepthLimit levels (indentation would grow the text with the square of the depth),
// with the declaration <?xml version="1.0" encoding="UTF-8"?> and a final line feed.
//
// Thread-safety: as ConfigBase (externally synchronised).
class TARVOS_API XmlConfigImpl final : public ConfigBase {
public:
    static constexpr char kDefaultRootElementName[] = "ConfigRoot";
    static constexpr int kPrettyDepthLimit = 100;

    // A configuration over `backend`; without a backend (null) Load and Save throw
    // NotSupportedException.
    explicit XmlConfigImpl(const Ref<ConfigBackend>& backend);
    ~XmlConfigImpl() override;

    // The document element's name: "ConfigRoot", or what the last successful load found.
    const std::string& GetRootElementName() const noexcept { return _rootElementName; }
    // Sets the name the next save writes (checked when saving).
    void SetRootElementName(const std::string& name) { _rootElementName = name; }

protected:
    void ReadTree(Reader& reader) override;
    void WriteTree(Writer& writer) override;

private:
    void EnsureParser();
    // Whether `name` is an XML name that reads back as written.
    bool IsWritableName(const std::string& name);

    std::string _rootElementName;
    // Made on first use and reused by every load.
    Ref<Xml::XMLParser> _parser;
};

}  // namespace Tarvos::Service
