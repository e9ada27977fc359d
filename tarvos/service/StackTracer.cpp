#include "tarvos/service/StackTracer.h"

#include "tarvos/service/StackTraceManager.h"
#include "tarvos/service/internal/StackTraceManagerState.h"

namespace Tarvos::Service {

// Switched off, this is the whole cost of a traced scope: one clock read and one load.
StackTracer::StackTracer(std::string_view name) noexcept
    : _name(name), _start(internal::MonotonicMicros()) {
    StackTraceManager* const manager =
        internal::g_activeStackTraceManager.load(std::memory_order_acquire);
    if (manager != nullptr) [[unlikely]] {
        if (manager->Enter(_name)) {
            _manager = manager;
        }
    }
}

void StackTracer::Exit() noexcept {
    _manager->Exit(_name, _start);
}

}  // namespace Tarvos::Service
