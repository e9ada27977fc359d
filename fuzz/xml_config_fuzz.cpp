// Loads the input as an XML configuration, saves it, loads the saved text and requires the same
// tree and root element name; saving that again must give the same bytes. Everything a parsed
// document can put into the tree can be written as XML, so a refused save is a finding too.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/ConfigFuzzSupport.h"
#include "tarvos/core/Exception.h"
#include "tarvos/service/ConfigFactory.h"
#include "tarvos/service/XmlConfigImpl.h"

namespace {

using Tarvos::Ref;
using Tarvos::Service::Config;
using Tarvos::Service::ConfigBase;
using Tarvos::Service::XmlConfigImpl;

[[noreturn]] void Finding(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
    std::abort();
}

std::string TreeOf(Config& config) {
    return Tarvos::Service::fuzzing::Canonical(*dynamic_cast<ConfigBase&>(config).GetRoot()) +
           "root element " + dynamic_cast<XmlConfigImpl&>(config).GetRootElementName();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    Ref<Config> first;
    Tarvos::Service::CreateXmlStringConfig(&text, first);
    try {
        first->Load();
    } catch (const Tarvos::Exception&) {
        // Malformed XML, text beside elements, duplicate children: all refused loads are fine.
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
    Tarvos::Service::CreateXmlStringConfig(&text, second);
    try {
        second->Load();
    } catch (const Tarvos::Exception& e) {
        Finding("saved text does not load", e.GetMessage() + "\n" + saved);
    }
    if (TreeOf(*second) != expected) {
        Finding("tree changed", expected + "\n----\n" + TreeOf(*second));
    }
    second->Save();
    if (text != saved) {
        Finding("second save differs", saved + "----\n" + text);
    }
    return 0;
}
