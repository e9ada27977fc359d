#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"

namespace Tarvos::Service {

class App;

// A plug-in: the object a plug-in library hands to the application when it is loaded.
//
// The application calls, on its start-up thread, Init right after loading the library, Start
// once every listed plug-in is loaded (in load order), and at shutdown Stop again and again
// until it returns true. A plug-in registers its services with the application in Init or
// Start and does its work on the application's thread pool.
class TARVOS_API Plugin : public virtual Object {
public:
    // The plug-in's name: unique among the loaded plug-ins.
    virtual std::string GetName() const = 0;
    // First start-up step. An exception fails the start-up of the whole application.
    virtual void Init(App& app) = 0;
    // Second start-up step, when all plug-ins are loaded. An exception fails the start-up.
    virtual void Start(App& app) = 0;
    // Asks the plug-in to stop and waits up to `timeoutMicros` for it; true when it has
    // finished (its library may then be unloaded: no task or timer of it may still run).
    virtual bool Stop(int64_t timeoutMicros) = 0;
};

// The entry point a plug-in library exports with C linkage under the name in kPluginEntryName.
// It is called with two null arguments and stores a new plug-in in `plugin`.
using PluginEntry = void (*)(void* reserved1, void* reserved2, Ref<Plugin>* plugin);

inline constexpr const char kPluginEntryName[] = "TarvosPluginEntry";

}  // namespace Tarvos::Service

// Defines the entry point of a plug-in library for a plug-in class with a default constructor:
//   TARVOS_PLUGIN_ENTRY(MyPlugin)
#define TARVOS_PLUGIN_ENTRY(PluginClass)                                       \
    extern "C" __attribute__((visibility("default"))) void TarvosPluginEntry(  \
        void*, void*, ::Tarvos::Ref<::Tarvos::Service::Plugin>* plugin) {      \
        *plugin = ::Tarvos::Ref<::Tarvos::Service::Plugin>(new PluginClass()); \
    }
