// Loads the input as a flat configuration, saves it, loads the saved text and requires the same
// tree without malformed lines; saving that again must give the same bytes. A tree loaded from
// flat lines can always be written as flat lines, so a refused save is a finding too.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/ConfigFuzzSupport.h"
#include "tarvos/core/Exception.h"
#include "tarvos/service/ConfigFactory.h"
#include "tarvos/service/FlatConfigImpl.h"

namespace {

using Tarvos::Ref;
using Tarvos::Service::Config;
using Tarvos::Service::ConfigBase;
using Tarvos::Service::FlatConfigImpl;

[[noreturn]] void Finding(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
    std::abort();
}

std::string TreeOf(Config& config) {
    return Tarvos::Service::fuzzing::Canonical(*dynamic_cast<ConfigBase&>(config).GetRoot());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    Ref<Config> first;
    Tarvos::Service::CreateFlatStringConfig(&text, first);
    try {
        first->Load();
    } catch (const Tarvos::InvalidArgumentException&) {
        // A line whose path is malformed or collides with the tree ends the load: fine.
        return 0;
    }
    const std::string expected = TreeOf(*first);
    try {
        first->Save();
    } catch (const Tarvos::Exception& e) {
        Finding("save of a loaded tree failed", e.GetMessage());
    }
    const std::string saved = text;

    Ref<Config> second;
    Tarvos::Service::CreateFlatStringConfig(&text, second);
    try {
        second->Load();
    } catch (const Tarvos::Exception& e) {
        Finding("saved text does not load", e.GetMessage() + "\n" + saved);
    }
    if (dynamic_cast<FlatConfigImpl&>(*second).GetMalformedLineCount() != 0) {
        Finding("saved text has malformed lines", saved);
    }
    if (TreeOf(*second) != expected) {
        Finding("tree changed", expected + "----\n" + TreeOf(*second));
    }
    second->Save();
    if (text != saved) {
        Finding("second save differs", saved + "----\n" + text);
    }
    return 0;
}
