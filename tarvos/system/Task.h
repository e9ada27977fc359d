#pragma once

#include <functional>
#include <utility>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"

namespace Tarvos::System {

// A unit of work for a thread pool: a reference-counted callable without arguments. A task that
// throws has its exception logged by the pool; the worker goes on.
class TARVOS_API Task : public virtual Object {
public:
    virtual void Run() = 0;
};

// A Task over any callable.
template <class F>
class FunctionTask final : public Task, public ObjectImpl {
public:
    explicit FunctionTask(F function) : _function(std::move(function)) {}
    void Run() override { _function(); }

private:
    F _function;
};

// Wraps a callable into a new Task.
template <class F>
Ref<Task> MakeTask(F&& function) {
    return Ref<Task>(new FunctionTask<std::decay_t<F>>(std::forward<F>(function)));
}

}  // namespace Tarvos::System
