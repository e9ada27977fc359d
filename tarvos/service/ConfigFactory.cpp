#include "tarvos/service/ConfigFactory.h"

#include "tarvos/service/FileConfigBackend.h"
#include "tarvos/service/FlatConfigImpl.h"
#include "tarvos/service/StringConfigBackend.h"
#include "tarvos/service/XmlConfigImpl.h"
#include "tarvos/service/internal/ScratchConfigImpl.h"

namespace Tarvos::Service {

namespace {

Ref<ConfigBackend> FileBackend(const std::string& path) {
    return path.empty() ? nullptr : Ref<ConfigBackend>(new FileConfigBackend(path));
}

Ref<ConfigBackend> StringBackend(std::string* text) {
    return text == nullptr ? nullptr : Ref<ConfigBackend>(new StringConfigBackend(text));
}

}  // namespace

void CreateXmlFileConfig(const std::string& path, Ref<Config>& config) {
    CreateXmlConfig(FileBackend(path), config);
}

void CreateXmlStringConfig(std::string* text, Ref<Config>& config) {
    CreateXmlConfig(StringBackend(text), config);
}

void CreateFlatFileConfig(const std::string& path, Ref<Config>& config) {
    CreateFlatConfig(FileBackend(path), config);
}

void CreateFlatStringConfig(std::string* text, Ref<Config>& config) {
    CreateFlatConfig(StringBackend(text), config);
}

void CreateXmlConfig(const Ref<ConfigBackend>& backend, Ref<Config>& config) {
    config = new XmlConfigImpl(backend);
}

void CreateFlatConfig(const Ref<ConfigBackend>& backend, Ref<Config>& config) {
    config = new FlatConfigImpl(backend);
}

void CreateScratchConfig(Ref<Config>& config) {
    config = new ScratchConfigImpl();
}

}  // namespace Tarvos::Service
