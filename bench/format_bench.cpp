// One message line with an int, a string and a double: the positional formatter against fmt.
// fmt's "{}" prints the double in its shortest round-trip form; "{:g}" prints what printf "%g"
// prints, which is the formatter's text, so that pair compares equal work.
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "tarvos/core/Format.h"

namespace {

const int kCount = 4711;
const std::string kName = "connection-pool";
const double kRatio = 0.734521;

void BM_TarvosFormatString(benchmark::State& state) {
    for (auto _ : state) {
        std::string line =
            Tarvos::FormatString("request %1 from %2 took %3 ms", kCount, kName, kRatio);
        benchmark::DoNotOptimize(line.data());
    }
}
BENCHMARK(BM_TarvosFormatString);

void BM_FmtFormat(benchmark::State& state) {
    for (auto _ : state) {
        std::string line = fmt::format("request {} from {} took {} ms", kCount, kName, kRatio);
        benchmark::DoNotOptimize(line.data());
    }
}
BENCHMARK(BM_FmtFormat);

void BM_FmtFormatG(benchmark::State& state) {
    for (auto _ : state) {
        std::string line = fmt::format("request {} from {} took {:g} ms", kCount, kName, kRatio);
        benchmark::DoNotOptimize(line.data());
    }
}
BENCHMARK(BM_FmtFormatG);

// The texts must agree, or the comparison means nothing.
const bool kSameText = [] {
    if (Tarvos::FormatString("request %1 from %2 took %3 ms", kCount, kName, kRatio) !=
        fmt::format("request {} from {} took {:g} ms", kCount, kName, kRatio)) {
        std::abort();
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
