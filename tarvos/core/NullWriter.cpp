#include "tarvos/core/NullWriter.h"

namespace Tarvos {

NullWriter::~NullWriter() = default;

void NullWriter::Write(const char*, int32_t) {}

void NullWriter::Flush() {}

void CreateNullWriter(Ref<Writer>& writer) {
    writer = new NullWriter();
}

}  // namespace Tarvos
