#pragma once

#include <cstdint>

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"

namespace Tarvos {

// A writer that discards everything. Stateless, so safe for concurrent use.
class TARVOS_API NullWriter : public virtual Writer, public ObjectImpl {
public:
    NullWriter() = default;
    ~NullWriter() override;

    void Write(const char* data, int32_t length) override;
    void Flush() override;
};

// Delivers a new null writer into `writer`.
TARVOS_API void CreateNullWriter(Ref<Writer>& writer);

}  // namespace Tarvos
