#pragma once

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"

namespace Tarvos {

// Delivers into `writer` a writer that duplicates everything into `first`, then `second`. When
// the first writer throws from Write or Flush, the second is still written or flushed and the
// first writer's exception is then passed on; an exception of the second alone is passed on as
// it is. Null writers throw InvalidArgumentException. The writer holds both targets alive and
// locks nothing; its thread-safety is that of the two targets.
TARVOS_API void CreateDoubleWriter(const Ref<Writer>& first, const Ref<Writer>& second,
                                   Ref<Writer>& writer);

}  // namespace Tarvos
