#include "tarvos/service/internal/ScratchConfigImpl.h"

namespace Tarvos::Service {

ScratchConfigImpl::~ScratchConfigImpl() = default;

}  // namespace Tarvos::Service
