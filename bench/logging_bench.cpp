// Logging throughput: one enabled line with three arguments (int, string, double) into a rotating
// file set (5 MiB x 10 files), against spdlog's synchronous rotating file sink writing the same
// line shape; and the cost of a call at a disabled level. Compare items_per_second of the pairs.
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include "tarvos/service/Log.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/system/RolloverWriter.h"
#include "tarvos/system/SystemFactory.h"

namespace {

using Tarvos::Ref;
using Tarvos::Service::Logger;
namespace LogLevel = Tarvos::Service::LogLevel;

constexpr int64_t kMaxFileSize = 5 * 1024 * 1024;
constexpr int32_t kFileCount = 10;

// The directory for both file sets, removed at exit after the loggers are gone.
struct BenchDirectory {
    BenchDirectory() {
        char pattern[] = "/tmp/tarvos-logbench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            abort();
        }
        path = pattern;
    }
    ~BenchDirectory() { std::filesystem::remove_all(path); }
    std::string path;
};

const std::string& Directory() {
    static BenchDirectory directory;
    return directory.path;
}

const Ref<Logger>& TarvosLogger() {
    static const Ref<Logger> logger = [] {
        Ref<Tarvos::System::RolloverWriter> file;
        Tarvos::System::GetSystemFactory().CreateRolloverLogWriter(Directory(), "tarvos",
                                                                   kMaxFileSize, kFileCount, file);
        Ref<Logger> made;
        Tarvos::Service::CreateRootLogger("Bench", file, nullptr, made);
        return made;
    }();
    return logger;
}

spdlog::logger& SpdLogger() {
    static const std::shared_ptr<spdlog::logger> logger = [] {
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            Directory() + "/spdlog.log", kMaxFileSize, kFileCount);
        auto made = std::make_shared<spdlog::logger>("Bench", sink);
        // The same line shape: "[date time.ms 'name' level tid] message\r\n".
        made->set_formatter(std::make_unique<spdlog::pattern_formatter>(
            "[%Y-%m-%d %H:%M:%S.%e '%n' %l %t] %v", spdlog::pattern_time_type::local, "\r\n"));
        made->set_level(spdlog::level::info);
        return made;
    }();
    return *logger;
}

const std::string kPeer = "client-0042.example";

void BM_TarvosEnabledLine(benchmark::State& state) {
    const Ref<Logger>& logger = TarvosLogger();
    int32_t i = 0;
    for (auto _ : state) {
        Tarvos::Service::Log(logger, LogLevel::Info, "request %1 from %2 took %3 ms", i++, kPeer,
                             3.25);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_SpdlogEnabledLine(benchmark::State& state) {
    spdlog::logger& logger = SpdLogger();
    int32_t i = 0;
    for (auto _ : state) {
        logger.info("request {} from {} took {} ms", i++, kPeer, 3.25);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_TarvosDisabledLevel(benchmark::State& state) {
    const Ref<Logger>& logger = TarvosLogger();
    int32_t i = 0;
    for (auto _ : state) {
        Tarvos::Service::Log(logger, LogLevel::Trivia, "request %1 from %2 took %3 ms", i++, kPeer,
                             3.25);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_SpdlogDisabledLevel(benchmark::State& state) {
    spdlog::logger& logger = SpdLogger();
    int32_t i = 0;
    for (auto _ : state) {
        logger.trace("request {} from {} took {} ms", i++, kPeer, 3.25);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_TarvosEnabledLine)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_SpdlogEnabledLine)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_TarvosDisabledLevel)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_SpdlogDisabledLevel)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
