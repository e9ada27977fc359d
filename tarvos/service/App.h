#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"
#include "tarvos/service/Channel.h"
#include "tarvos/service/Config.h"
#include "tarvos/service/LogManager.h"
#include "tarvos/service/Logger.h"
#include "tarvos/service/Plugin.h"
#include "tarvos/system/ThreadPool.h"

namespace Tarvos {
class SessionPool;
}

namespace Tarvos::Service {

// The application of a host process: configuration, logging, the thread pool, the plug-ins and
// the registry of services they offer one another. AppImpl is the implementation and carries
// the start-up entry points.
//
// Safe for concurrent use once started: the registry and the plug-in map are guarded by the
// application's lock and handed out as copies.
class TARVOS_API App : public virtual Object {
public:
    using ServiceMap = std::map<std::string, Ref<Object>>;
    using PluginMap = std::map<std::string, Ref<Plugin>>;

    // The components made at start-up; null before it (and after Shutdown).
    virtual Ref<Config> GetConfig() = 0;
    // The "App" logger.
    virtual Ref<Logger> GetLogger() = 0;
    virtual Ref<System::ThreadPool> GetThreadPool() = 0;
    virtual Ref<LogManager> GetLogManager() = 0;
    // The absolute path of the configuration file of a command-line start (plug-ins find files
    // beside it); empty for a start from a configuration object.
    virtual std::string GetConfigPath() = 0;
    // The process id.
    virtual int32_t GetProcessId() = 0;
    // Loads the plug-in library at `path`, calls its entry point `entryName` and records the
    // plug-in under its name. Throws SystemException when the library or the entry point cannot
    // be found, AlreadyExistsException (after unloading the library) when a plug-in of that
    // name is loaded already.
    virtual void LoadPlugin(const std::string& path, const std::string& entryName) = 0;
    virtual void GetServices(ServiceMap& services) = 0;
    // Throws AlreadyExistsException when the name is taken, InvalidArgumentException for a
    // null service.
    virtual void RegisterService(const std::string& name, const Ref<Object>& service) = 0;
    virtual bool UnregisterService(const std::string& name) = 0;
    virtual bool FindService(const std::string& name, Ref<Object>& service) = 0;
    virtual void GetPlugins(PluginMap& plugins) = 0;
    // The channel registry's operations (ChannelManager); InvalidStateException before start-up.
    virtual void OpenChannel(const std::string& name, size_t capacity, Ref<Channel>& channel) = 0;
    virtual bool CloseChannel(const std::string& name) = 0;
    // Serves the calling thread as a pool worker until the pool shuts down.
    virtual void Run() = 0;
    virtual void SetExitCode(int32_t code) = 0;
    // The code set last, 0 when none was set.
    virtual int32_t GetExitCode() = 0;
    // Shuts the thread pool down (Run returns); may be called from any thread, also from a
    // signal-handling thread, and more than once.
    virtual void StopThreadPool() = 0;
    // Stops the plug-ins (waiting for each until it reports finished), then lets go of every
    // component. Called once, on the start-up thread, after Run returned.
    virtual void Shutdown() = 0;
    // The client session pool made at start-up; null before it.
    virtual Ref<SessionPool> GetSessionPool() = 0;
};

}  // namespace Tarvos::Service
