#pragma once

#include <cstdint>

#include "tarvos/core/DoubleWriter.h"

namespace Tarvos {

// A writer that forwards every call to two writers in turn (see CreateDoubleWriter).
class DoubleWriterImpl final : public virtual Writer, public ObjectImpl {
public:
    DoubleWriterImpl(const Ref<Writer>& first, const Ref<Writer>& second);
    ~DoubleWriterImpl() override;

    void Write(const char* data, int32_t length) override;
    void Flush() override;

private:
    const Ref<Writer> _first;
    const Ref<Writer> _second;
};

}  // namespace Tarvos
