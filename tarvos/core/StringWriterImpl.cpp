#include "tarvos/core/internal/StringWriterImpl.h"

#include <limits>

#include "tarvos/core/Exception.h"
#include "tarvos/core/internal/IoArguments.h"

namespace Tarvos {

namespace {

// Above this capacity Reset hands the storage back instead of keeping it for reuse, so that one
// large message does not pin its memory for the writer's lifetime.
constexpr size_t kRetainedCapacity = 64 * 1024;

}  // namespace

StringWriterImpl::~StringWriterImpl() = default;

void StringWriterImpl::Write(const char* data, int32_t length) {
    internal::CheckIoArguments(data, length, "StringWriter::Write");
    if (length == 0) {
        return;
    }
    // GetLength reports a signed 32-bit count, so the text may never grow past its range.
    if (static_cast<size_t>(length) >
        static_cast<size_t>(std::numeric_limits<int32_t>::max()) - _text.size()) {
        throw InvalidArgumentException("StringWriter::Write: " + std::to_string(length) +
                                       " more bytes would exceed 2147483647 bytes");
    }
    _text.append(data, static_cast<size_t>(length));
}

void StringWriterImpl::Reset() {
    if (_text.capacity() > kRetainedCapacity) {
        std::string().swap(_text);
    } else {
        _text.clear();
    }
}

void CreateStringWriter(Ref<StringWriter>& writer) {
    writer = new StringWriterImpl();
}

}  // namespace Tarvos
