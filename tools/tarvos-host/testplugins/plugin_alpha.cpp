#include "ScriptedPlugin.h"

namespace {
class Plugin final : public ScriptedPlugin {
public:
    Plugin() : ScriptedPlugin("alpha") {}
};
}  // namespace

TARVOS_PLUGIN_ENTRY(Plugin)
