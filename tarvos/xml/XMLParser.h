#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Reader.h"
#include "tarvos/core/Ref.h"
#include "tarvos/xml/Document.h"
#include "tarvos/xml/XMLHandler.h"

namespace Tarvos::Xml {

// Malformed input: the parser library's error text and the line where the error was found.
class TARVOS_API XMLParseException : public Exception {
public:
    XMLParseException(const std::string& message, uint32_t lineNumber)
        : Exception(message), _lineNumber(lineNumber) {}
    uint32_t GetLineNumber() const noexcept { return _lineNumber; }

private:
    uint32_t _lineNumber;
};

// Parses XML (over expat, without namespace processing) and reports the events to its handler.
// Reusable: each Parse starts afresh. Processing instructions and document type declarations
// produce no events; internal entities are expanded, external ones never loaded, and entity
// expansion attacks are refused by expat's protection (an XMLParseException). An exception
// thrown by the handler stops the parse and propagates from Parse. Parse throws
// InvalidStateException without a handler and InProgressException when called again from
// inside one of its own handler's events.
//
// Thread-safety: confined to one thread at a time; separate parsers may run in parallel.
class TARVOS_API XMLParser : public virtual Object {
public:
    // Parses `text`; the handler's document (for the document builder) lands in `document`,
    // also the partial one when XMLParseException is thrown.
    virtual void Parse(const std::string& text, Ref<Document>& document) = 0;
    // Parses what `reader` delivers, read in chunks of 10240 bytes. Reader failures propagate; a
    // reader returning a count outside -1..10240 throws IOException.
    virtual void Parse(Reader& reader, Ref<Document>& document) = 0;
    virtual void SetHandler(const Ref<XMLHandler>& handler) = 0;
    virtual Ref<XMLHandler> GetHandler() const = 0;
};

// A new parser reporting to `handler`.
TARVOS_API void CreateXMLParser(const Ref<XMLHandler>& handler, Ref<XMLParser>& parser);

}  // namespace Tarvos::Xml
