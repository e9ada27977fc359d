#pragma once

#include "tarvos/core/Export.h"
#include "tarvos/core/Reader.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"

namespace Tarvos::Service {

// The storage behind a configuration: hands out a reader for a load or a writer for a save.
// At most one reader or writer is open at a time; BeginRead and BeginWrite throw
// InProgressException while one is. A save runs BeginWrite, writes, EndWrite (which commits the
// text to the storage), then EndAccess; a load runs BeginRead, reads, then EndAccess. After a
// failure the configuration calls EndAccess without EndWrite, so nothing is committed.
//
// Thread-safety: externally synchronised (used by its configuration's Load and Save only).
class TARVOS_API ConfigBackend : public virtual Object {
public:
    // Opens a writer for a new text of the storage.
    virtual void BeginWrite(Ref<Writer>& writer) = 0;
    // Opens a reader over the storage's current text.
    virtual void BeginRead(Ref<Reader>& reader) = 0;
    // Commits what was written through the open writer.
    virtual void EndWrite() = 0;
    // Drops the reader or writer that is open, if any. Never throws.
    virtual void EndAccess() = 0;
};

}  // namespace Tarvos::Service
