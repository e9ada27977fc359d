#include "tarvos/service/StringConfigBackend.h"

#include "tarvos/core/Exception.h"
#include "tarvos/core/Panic.h"

namespace Tarvos::Service {

StringConfigBackend::StringConfigBackend(std::string* text) : _text(text) {
    TARVOS_VERIFY(_text != nullptr);
}

StringConfigBackend::~StringConfigBackend() = default;

void StringConfigBackend::BeginWrite(Ref<Writer>& writer) {
    if (_reader || _writer) {
        throw InProgressException();
    }
    CreateStringWriter(_writer);
    writer = _writer;
}

void StringConfigBackend::BeginRead(Ref<Reader>& reader) {
    if (_reader || _writer) {
        throw InProgressException();
    }
    CreateStringReader(*_text, _reader);
    reader = _reader;
}

void StringConfigBackend::EndWrite() {
    if (!_writer) {
        throw NotInProgressException();
    }
    *_text = _writer->ToString();
}

void StringConfigBackend::EndAccess() {
    _writer = nullptr;
    if (_reader) {
        const Ref<StringReader> reader = std::move(_reader);
        reader->Close();
    }
}

}  // namespace Tarvos::Service
