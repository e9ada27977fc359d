#pragma once

#include <expat.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/xml/XMLParser.h"

namespace Tarvos::Xml {

class XMLDocHandlerImpl;

// The parser over one expat parser (no namespace processing), reset for every Parse. Confined
// to one thread at a time.
//
// States: idle, or parsing (between the start and the end of a Parse call; _parsing set). Only
// Parse moves between them; a Parse begun while parsing (from inside a handler) throws
// InProgressException.
// Invariants:
//  1. While parsing, _active is the handler the parse began with, kept alive by the Parse
//     frame, and _builder is the same object when it is the library's document builder (whose
//     events then take the direct path), else null.
//  2. Once a callback failed, _failure holds its exception, expat is stopped and no further
//     event reaches the handler; Parse rethrows it.
//  3. No exception ever crosses expat's frames: callbacks catch everything.
class XMLParserImpl final : public XMLParser, public ObjectImpl {
public:
    // Bytes read from a Reader and fed to expat per call.
    static constexpr int32_t kChunkSize = 10240;

    explicit XMLParserImpl(const Ref<XMLHandler>& handler);
    ~XMLParserImpl() override;

    void Parse(const std::string& text, Ref<Document>& document) override;
    void Parse(Reader& reader, Ref<Document>& document) override;
    void SetHandler(const Ref<XMLHandler>& handler) override { _handler = handler; }
    Ref<XMLHandler> GetHandler() const override { return _handler; }

private:
    class ParseScope;

    // Resets expat, registers the callbacks and starts the handler's document.
    void Begin(Ref<Document>& document);
    // Feeds `length` bytes; throws for a failed callback or malformed input.
    void Feed(const char* data, int length, bool final);
    // Records the exception in flight and stops expat (invariant 2).
    void Fail() noexcept;

    // Runs one event for the parser behind expat's user data (invariants 2 and 3).
    template <class Event>
    static void Dispatch(void* userData, const Event& event) noexcept;

    static void OnStartElement(void* self, const XML_Char* name, const XML_Char** attributes);
    static void OnEndElement(void* self, const XML_Char* name);
    static void OnStartCData(void* self);
    static void OnEndCData(void* self);
    static void OnComment(void* self, const XML_Char* text);
    static void OnCharacterData(void* self, const XML_Char* text, int length);
    static void OnXmlDeclaration(void* self, const XML_Char* version, const XML_Char* encoding,
                                 int standalone);
    static void BuildStartElement(void* self, const XML_Char* name, const XML_Char** attributes);
    static void BuildEndElement(void* self, const XML_Char* name);
    static void BuildStartCData(void* self);
    static void BuildEndCData(void* self);
    static void BuildComment(void* self, const XML_Char* text);
    static void BuildCharacterData(void* self, const XML_Char* text, int length);
    static void BuildXmlDeclaration(void* self, const XML_Char* version, const XML_Char* encoding,
                                    int standalone);

    XML_Parser const _expat;
    Ref<XMLHandler> _handler;
    const std::unique_ptr<char[]> _buffer;

    // Valid while parsing (invariants 1 and 2).
    bool _parsing = false;
    XMLHandler* _active = nullptr;
    XMLDocHandlerImpl* _builder = nullptr;
    std::exception_ptr _failure;
};

}  // namespace Tarvos::Xml
