// Loading and saving configuration files, XML and flat lines, through the file backend.
//
// The tree has the shape of a service's settings: N keys as "/service[SSSS]/setting[KKKK]" with
// 100 settings per service and short values. Runs with 1,000, 10,000 and 100,000 keys show how
// the time grows with the size (items per second should stay about the same).

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include <benchmark/benchmark.h>

#include "tarvos/service/Config.h"
#include "tarvos/service/ConfigFactory.h"

namespace {

using Tarvos::Ref;
using Tarvos::Service::Config;

enum class Format { Flat, Xml };

// A scratch directory for the benchmark files, removed at exit.
class BenchDirectory {
public:
    BenchDirectory() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base ? base : "/tmp") + "/tarvos-config-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        _path = pattern;
    }
    ~BenchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(_path, ignored);
    }
    const std::string& Path() const { return _path; }

private:
    std::string _path;
};

BenchDirectory& Directory() {
    static BenchDirectory directory;
    return directory;
}

void Create(Format format, const std::string& path, Ref<Config>& config) {
    if (format == Format::Xml) {
        Tarvos::Service::CreateXmlFileConfig(path, config);
    } else {
        Tarvos::Service::CreateFlatFileConfig(path, config);
    }
}

std::string Key(int number) {
    char text[16];
    std::snprintf(text, sizeof(text), "%04d", number);
    return text;
}

// A configuration of `keys` settings in `format`, backed by a file that holds it.
Ref<Config> MakeConfig(Format format, int keys) {
    const std::string path = Directory().Path() + "/config-" + std::to_string(keys) +
                             (format == Format::Xml ? ".xml" : ".conf");
    Ref<Config> config;
    Create(format, path, config);
    Ref<Config::View> root;
    config->GetRootView(root);
    for (int i = 0; i < keys; ++i) {
        const int service = i / 100;
        const int setting = i % 100;
        root->Set("service[" + Key(service) + "]/setting[" + Key(setting) + "]",
                  "value of setting " + std::to_string(setting) + " in service " +
                      std::to_string(service));
    }
    config->Save();
    return config;
}

// One configuration per format and size, made on first use.
Ref<Config> SharedConfig(Format format, int keys) {
    static std::map<std::pair<Format, int>, Ref<Config>> made;
    Ref<Config>& config = made[{format, keys}];
    if (!config) {
        config = MakeConfig(format, keys);
    }
    return config;
}

int64_t FileSize(Format format, int keys) {
    const std::string path = Directory().Path() + "/config-" + std::to_string(keys) +
                             (format == Format::Xml ? ".xml" : ".conf");
    return static_cast<int64_t>(std::filesystem::file_size(path));
}

void BM_Load(benchmark::State& state, Format format) {
    const int keys = static_cast<int>(state.range(0));
    const Ref<Config> config = SharedConfig(format, keys);
    for (auto _ : state) {
        config->Load();
    }
    state.SetItemsProcessed(state.iterations() * keys);
    state.SetBytesProcessed(state.iterations() * FileSize(format, keys));
}

void BM_Save(benchmark::State& state, Format format) {
    const int keys = static_cast<int>(state.range(0));
    const Ref<Config> config = SharedConfig(format, keys);
    for (auto _ : state) {
        config->Save();
    }
    state.SetItemsProcessed(state.iterations() * keys);
    state.SetBytesProcessed(state.iterations() * FileSize(format, keys));
}

// The formats alone: the same trees through a string in memory (no file system, no fsync).
void BM_SaveText(benchmark::State& state, Format format) {
    const int keys = static_cast<int>(state.range(0));
    Ref<Config> config = SharedConfig(format, keys);
    std::string text;
    Ref<Config> copy;
    if (format == Format::Xml) {
        Tarvos::Service::CreateXmlStringConfig(&text, copy);
    } else {
        Tarvos::Service::CreateFlatStringConfig(&text, copy);
    }
    Ref<Config::View> from;
    Ref<Config::View> to;
    config->GetRootView(from);
    copy->GetRootView(to);
    to->CopyFrom("", from);
    for (auto _ : state) {
        copy->Save();
    }
    state.SetItemsProcessed(state.iterations() * keys);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_LoadText(benchmark::State& state, Format format) {
    const int keys = static_cast<int>(state.range(0));
    Ref<Config> config = SharedConfig(format, keys);
    std::string text;
    Ref<Config> copy;
    if (format == Format::Xml) {
        Tarvos::Service::CreateXmlStringConfig(&text, copy);
    } else {
        Tarvos::Service::CreateFlatStringConfig(&text, copy);
    }
    Ref<Config::View> from;
    Ref<Config::View> to;
    config->GetRootView(from);
    copy->GetRootView(to);
    to->CopyFrom("", from);
    copy->Save();
    for (auto _ : state) {
        copy->Load();
    }
    state.SetItemsProcessed(state.iterations() * keys);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

// 1,000, 10,000 and 100,000 keys: loading should grow linearly.
void KeyCounts(benchmark::internal::Benchmark* run) {
    run->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(BM_Load, Flat, Format::Flat)->Apply(KeyCounts);
BENCHMARK_CAPTURE(BM_Load, Xml, Format::Xml)->Apply(KeyCounts);
BENCHMARK_CAPTURE(BM_Save, Flat, Format::Flat)->Apply(KeyCounts);
BENCHMARK_CAPTURE(BM_Save, Xml, Format::Xml)->Apply(KeyCounts);

BENCHMARK_CAPTURE(BM_LoadText, Flat, Format::Flat)->Apply(KeyCounts);
BENCHMARK_CAPTURE(BM_LoadText, Xml, Format::Xml)->Apply(KeyCounts);
BENCHMARK_CAPTURE(BM_SaveText, Flat, Format::Flat)->Apply(KeyCounts);
BENCHMARK_CAPTURE(BM_SaveText, Xml, Format::Xml)->Apply(KeyCounts);

}  // namespace

BENCHMARK_MAIN();
