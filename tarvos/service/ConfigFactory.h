#pragma once

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/service/Config.h"

namespace Tarvos::Service {

// Factories of configurations. Each delivers a new configuration with an empty tree.

// A configuration in memory only: Load and Save do nothing.
TARVOS_API void CreateScratchConfig(Ref<Config>& config);

}  // namespace Tarvos::Service
