#include "tarvos/service/ConfigFactory.h"

#include "tarvos/service/internal/ScratchConfigImpl.h"

namespace Tarvos::Service {

void CreateScratchConfig(Ref<Config>& config) {
    config = new ScratchConfigImpl();
}

}  // namespace Tarvos::Service
