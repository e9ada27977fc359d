#pragma once

#include <string>

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/StringReader.h"
#include "tarvos/core/StringWriter.h"
#include "tarvos/service/ConfigBackend.h"

namespace Tarvos::Service {

// The storage of a configuration in a string that the caller owns. A load reads a copy of the
// string's current text; a save builds the new text aside and stores it into the string only on
// EndWrite, so a failed save leaves the string as it was.
//
// The caller keeps the string alive, and does not touch it during a load or save, for as long as
// the backend exists.
//
// Thread-safety: externally synchronised (its configuration's Load and Save use it).
class TARVOS_API StringConfigBackend : public virtual ConfigBackend, public virtual ObjectImpl {
public:
    // The storage of `*text`; `text` must not be null.
    explicit StringConfigBackend(std::string* text);
    ~StringConfigBackend() override;

    StringConfigBackend(const StringConfigBackend&) = delete;
    StringConfigBackend& operator=(const StringConfigBackend&) = delete;

    // A new, empty string writer. InProgressException while a reader or writer is open.
    void BeginWrite(Ref<Writer>& writer) override;
    // A string reader over the string's current text. InProgressException while a reader or
    // writer is open.
    void BeginRead(Ref<Reader>& reader) override;
    // Stores the writer's text into the string. NotInProgressException without an open writer.
    void EndWrite() override;
    void EndAccess() override;

private:
    std::string* const _text;

    Ref<StringReader> _reader;
    Ref<StringWriter> _writer;
};

}  // namespace Tarvos::Service
