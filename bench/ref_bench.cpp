// Reference counting: Ref<T> copy + release against std::shared_ptr copy + release, on one
// thread and with two threads working on one shared object (the count's cache line bounces).
#include <memory>
#include <thread>

#include <benchmark/benchmark.h>

#include "tarvos/core/Ref.h"

namespace {

class Payload final : public Tarvos::ObjectImpl {
public:
    int value = 1;
};

struct PlainPayload {
    int value = 1;
};

// One object per benchmark, made by the first thread and shared by all of them.
Tarvos::Ref<Payload> g_ref;
std::shared_ptr<PlainPayload> g_shared;

void BM_RefCopyRelease(benchmark::State& state) {
    if (state.thread_index() == 0) {
        g_ref = new Payload();
    }
    for (auto _ : state) {
        Tarvos::Ref<Payload> copy(g_ref);
        benchmark::DoNotOptimize(copy.Get());
    }
    if (state.thread_index() == 0) {
        g_ref.Reset();
    }
}
BENCHMARK(BM_RefCopyRelease)->Threads(1)->Threads(2)->UseRealTime();

void BM_SharedPtrCopyRelease(benchmark::State& state) {
    if (state.thread_index() == 0) {
        g_shared = std::make_shared<PlainPayload>();
    }
    for (auto _ : state) {
        std::shared_ptr<PlainPayload> copy(g_shared);
        benchmark::DoNotOptimize(copy.get());
    }
    if (state.thread_index() == 0) {
        g_shared.reset();
    }
}
BENCHMARK(BM_SharedPtrCopyRelease)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

// libstdc++ makes shared_ptr counting non-atomic while a process has never started a second
// thread; a server process always has, so the comparison runs in that state.
int main(int argc, char** argv) {
    std::thread([] {}).join();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
