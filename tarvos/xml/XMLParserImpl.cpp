#include "tarvos/xml/internal/XMLParserImpl.h"

#include <algorithm>
#include <new>
#include <string_view>

#include "tarvos/core/Exception.h"
#include "tarvos/xml/internal/XMLDocHandlerImpl.h"

namespace Tarvos::Xml {

// Marks the parser busy for the duration of one Parse and clears the per-parse state however
// the parse ends.
class XMLParserImpl::ParseScope {
public:
    explicit ParseScope(XMLParserImpl& parser) : _parser(parser) {
        if (_parser._parsing) {
            throw InProgressException();
        }
        if (_parser._handler.IsNull()) {
            throw InvalidStateException();
        }
        _handler = _parser._handler;
        _parser._parsing = true;
        _parser._active = _handler.Get();
        _parser._builder = dynamic_cast<XMLDocHandlerImpl*>(_handler.Get());
        _parser._failure = nullptr;
    }
    ~ParseScope() {
        if (_parser._builder != nullptr) {
            _parser._builder->EndDocument();
        }
        _parser._parsing = false;
        _parser._active = nullptr;
        _parser._builder = nullptr;
        _parser._failure = nullptr;
    }
    ParseScope(const ParseScope&) = delete;
    ParseScope& operator=(const ParseScope&) = delete;

private:
    XMLParserImpl& _parser;
    // Keeps the handler alive even if a callback replaces the parser's handler.
    Ref<XMLHandler> _handler;
};

XMLParserImpl::XMLParserImpl(const Ref<XMLHandler>& handler)
    : _expat(XML_ParserCreate(nullptr)), _handler(handler), _buffer(new char[kChunkSize]) {
    if (_expat == nullptr) {
        throw std::bad_alloc();
    }
}

XMLParserImpl::~XMLParserImpl() {
    XML_ParserFree(_expat);
}

void XMLParserImpl::Parse(const std::string& text, Ref<Document>& document) {
    ParseScope scope(*this);
    Begin(document);
    // The text is fed in place, in the chunks a reader over it would deliver: no copy of it.
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const size_t chunk = std::min(left, static_cast<size_t>(kChunkSize));
        Feed(data, static_cast<int>(chunk), false);
        data += chunk;
        left -= chunk;
    }
    Feed(nullptr, 0, true);
}

void XMLParserImpl::Parse(Reader& reader, Ref<Document>& document) {
    ParseScope scope(*this);
    Begin(document);
    for (;;) {
        const int32_t count = reader.Read(_buffer.get(), kChunkSize);
        if (count == -1) {
            Feed(nullptr, 0, true);
            return;
        }
        if (count < 0 || count > kChunkSize) {
            // A reader that breaks its contract; its bytes cannot be trusted.
            throw IOException();
        }
        Feed(_buffer.get(), count, false);
    }
}

void XMLParserImpl::Begin(Ref<Document>& document) {
    // Reset clears every handler and the user data, and restores expat's defaults, among them
    // the protection against entity expansion attacks.
    if (XML_ParserReset(_expat, nullptr) != XML_TRUE) {
        throw std::bad_alloc();
    }
    XML_SetUserData(_expat, this);
    if (_builder != nullptr) {
        XML_SetElementHandler(_expat, BuildStartElement, BuildEndElement);
        XML_SetCdataSectionHandler(_expat, BuildStartCData, BuildEndCData);
        XML_SetCommentHandler(_expat, BuildComment);
        XML_SetCharacterDataHandler(_expat, BuildCharacterData);
        XML_SetXmlDeclHandler(_expat, BuildXmlDeclaration);
    } else {
        XML_SetElementHandler(_expat, OnStartElement, OnEndElement);
        XML_SetCdataSectionHandler(_expat, OnStartCData, OnEndCData);
        XML_SetCommentHandler(_expat, OnComment);
        XML_SetCharacterDataHandler(_expat, OnCharacterData);
        XML_SetXmlDeclHandler(_expat, OnXmlDeclaration);
    }
    _active->StartDocument(document);
}

void XMLParserImpl::Feed(const char* data, int length, bool final) {
    const XML_Status status = XML_Parse(_expat, data, length, final ? XML_TRUE : XML_FALSE);
    if (_failure) {
        std::rethrow_exception(_failure);
    }
    if (status != XML_STATUS_OK) {
        const XML_Error error = XML_GetErrorCode(_expat);
        if (error == XML_ERROR_NO_MEMORY) {
            // Memory exhaustion is no property of the input.
            throw std::bad_alloc();
        }
        const XML_LChar* text = XML_ErrorString(error);
        throw XMLParseException(text != nullptr ? text : "unknown error",
                                static_cast<uint32_t>(XML_GetCurrentLineNumber(_expat)));
    }
}

void XMLParserImpl::Fail() noexcept {
    _failure = std::current_exception();
    XML_StopParser(_expat, XML_FALSE);
}

// Every callback: nothing more reaches the handler after a failure (expat may deliver a few
// events after being stopped), and no exception crosses expat's frames.
template <class Event>
void XMLParserImpl::Dispatch(void* userData, const Event& event) noexcept {
    auto* parser = static_cast<XMLParserImpl*>(userData);
    if (parser->_failure) {
        return;
    }
    try {
        event(*parser);
    } catch (...) {
        parser->Fail();
    }
}

void XMLParserImpl::OnStartElement(void* self, const XML_Char* name, const XML_Char** attributes) {
    Dispatch(self, [&](XMLParserImpl& parser) {
        AttributeMap map;
        for (; attributes[0] != nullptr; attributes += 2) {
            map.emplace(attributes[0], attributes[1]);
        }
        parser._active->StartElement(name, map);
    });
}

void XMLParserImpl::OnEndElement(void* self, const XML_Char* name) {
    Dispatch(self, [&](XMLParserImpl& parser) { parser._active->EndElement(name); });
}

void XMLParserImpl::OnStartCData(void* self) {
    Dispatch(self, [&](XMLParserImpl& parser) { parser._active->StartCData(); });
}

void XMLParserImpl::OnEndCData(void* self) {
    Dispatch(self, [&](XMLParserImpl& parser) { parser._active->EndCData(); });
}

void XMLParserImpl::OnComment(void* self, const XML_Char* text) {
    Dispatch(self, [&](XMLParserImpl& parser) { parser._active->Comment(text); });
}

void XMLParserImpl::OnCharacterData(void* self, const XML_Char* text, int length) {
    Dispatch(self, [&](XMLParserImpl& parser) {
        parser._active->CharacterData(std::string_view(text, static_cast<size_t>(length)));
    });
}

void XMLParserImpl::OnXmlDeclaration(void* self, const XML_Char* version, const XML_Char* encoding,
                                     int) {
    Dispatch(self, [&](XMLParserImpl& parser) {
        parser._active->XmlDeclaration(version != nullptr ? version : "",
                                       encoding != nullptr ? encoding : "");
    });
}

void XMLParserImpl::BuildStartElement(void* self, const XML_Char* name,
                                      const XML_Char** attributes) {
    Dispatch(self, [&](XMLParserImpl& parser) { parser._builder->StartElement(name, attributes); });
}

void XMLParserImpl::BuildEndElement(void* self, const XML_Char*) {
    Dispatch(self, [&](XMLParserImpl& parser) { parser._builder->EndElement(); });
}

void XMLParserImpl::BuildStartCData(void* self) {
    Dispatch(self, [&](XMLParserImpl& parser) { parser._builder->StartCData(); });
}

void XMLParserImpl::BuildEndCData(void* self) {
    Dispatch(self, [&](XMLParserImpl& parser) { parser._builder->EndCData(); });
}

void XMLParserImpl::BuildComment(void* self, const XML_Char* text) {
    Dispatch(self, [&](XMLParserImpl& parser) { parser._builder->Comment(text); });
}

void XMLParserImpl::BuildCharacterData(void* self, const XML_Char* text, int length) {
    Dispatch(self, [&](XMLParserImpl& parser) {
        parser._builder->CharacterData(std::string_view(text, static_cast<size_t>(length)));
    });
}

void XMLParserImpl::BuildXmlDeclaration(void* self, const XML_Char* version,
                                        const XML_Char* encoding, int) {
    Dispatch(self,
             [&](XMLParserImpl& parser) { parser._builder->XmlDeclaration(version, encoding); });
}

void CreateXMLParser(const Ref<XMLHandler>& handler, Ref<XMLParser>& parser) {
    parser = new XMLParserImpl(handler);
}

}  // namespace Tarvos::Xml
