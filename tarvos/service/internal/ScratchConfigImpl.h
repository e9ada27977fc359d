#pragma once

#include "tarvos/service/ConfigBase.h"

namespace Tarvos::Service {

// A configuration that lives in memory only: Load and Save do nothing. Used for settings built
// by code, and as the source of Insert.
//
// Thread-safety: as ConfigBase.
class ScratchConfigImpl final : public ConfigBase {
public:
    ScratchConfigImpl() = default;
    ~ScratchConfigImpl() override;

    void Load() override {}
    void Save() override {}
};

}  // namespace Tarvos::Service
