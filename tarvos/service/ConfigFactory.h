#pragma once

#include <string>

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/service/Config.h"
#include "tarvos/service/ConfigBackend.h"

namespace Tarvos::Service {

// Factories of configurations. Each delivers a new configuration with an empty tree into
// `config`; nothing is read before the first Load.
//
// A configuration made without a backend (an empty path, a null string pointer, a null backend)
// throws NotSupportedException ("Not Supported") from Load and Save.

// XML kept in the file `path` (saved through "<path>.tmp" and a rename: FileConfigBackend).
TARVOS_API void CreateXmlFileConfig(const std::string& path, Ref<Config>& config);
// XML kept in the caller's string `*text`, which must outlive the configuration.
TARVOS_API void CreateXmlStringConfig(std::string* text, Ref<Config>& config);
// Flat lines kept in the file `path` (saved through "<path>.tmp" and a rename).
TARVOS_API void CreateFlatFileConfig(const std::string& path, Ref<Config>& config);
// Flat lines kept in the caller's string `*text`, which must outlive the configuration.
TARVOS_API void CreateFlatStringConfig(std::string* text, Ref<Config>& config);
// XML or flat lines over a backend of the caller's (may be null).
TARVOS_API void CreateXmlConfig(const Ref<ConfigBackend>& backend, Ref<Config>& config);
TARVOS_API void CreateFlatConfig(const Ref<ConfigBackend>& backend, Ref<Config>& config);

// A configuration in memory only: Load and Save do nothing.
TARVOS_API void CreateScratchConfig(Ref<Config>& config);

}  // namespace Tarvos::Service
