#include "tarvos/core/internal/DoubleWriterImpl.h"

#include <exception>

#include "tarvos/core/Exception.h"

namespace Tarvos {

namespace {

// Runs `first`, then `second` even when `first` threw; the first failure wins, so the caller
// sees the error of the writer that failed first.
template <class F, class S>
void BothInTurn(F&& first, S&& second) {
    std::exception_ptr failure;
    try {
        first();
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) {
        second();
        return;
    }
    try {
        second();
    } catch (...) {
        // The first writer's failure is the one passed on.
    }
    std::rethrow_exception(failure);
}

}  // namespace

DoubleWriterImpl::DoubleWriterImpl(const Ref<Writer>& first, const Ref<Writer>& second)
    : _first(first), _second(second) {}

DoubleWriterImpl::~DoubleWriterImpl() = default;

void DoubleWriterImpl::Write(const char* data, int32_t length) {
    BothInTurn([&] { _first->Write(data, length); }, [&] { _second->Write(data, length); });
}

void DoubleWriterImpl::Flush() {
    BothInTurn([&] { _first->Flush(); }, [&] { _second->Flush(); });
}

void CreateDoubleWriter(const Ref<Writer>& first, const Ref<Writer>& second, Ref<Writer>& writer) {
    if (!first || !second) {
        throw InvalidArgumentException("CreateDoubleWriter: null writer");
    }
    writer = new DoubleWriterImpl(first, second);
}

}  // namespace Tarvos
