#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tarvos/core/Ref.h"
#include "tarvos/core/Session.h"
#include "tarvos/service/App.h"
#include "tarvos/system/LockableObjectImpl.h"
#include "tarvos/system/SharedLibrary.h"

namespace Tarvos::Service {

class ResourceChecker;

// The application object of a host process.
//
// Life: created -> started (Init: configuration, logging, thread pool, diagnostics, plug-ins)
// -> running (Run on the start-up thread; services registered) -> stopped (StopThreadPool from
// any thread ends Run) -> shut down (Shutdown: plug-ins stopped one by one, components
// released). Start-up and Shutdown run on the host's start-up thread, which becomes a pool
// thread during start-up and leaves the pool at the end of Shutdown.
//
// Invariants:
// 1. The component references (configuration, loggers, pool, channel and session registries)
//    change only during start-up and Shutdown, under the application's lock; accessors copy
//    them out under it.
// 2. A plug-in library is unloaded only after its plug-in reported finished, after every
//    component that may hold its objects (services, sessions, queued tasks) was released, and
//    only when no pool thread is still running; otherwise it stays loaded until the process
//    ends.
// 3. No plug-in operation (Init, Start, Stop) and no log line runs under the application's lock,
//    except the entry point call of LoadPlugin.
//
// Safe for concurrent use once started.
class TARVOS_API AppImpl : public App, public System::LockableObjectImpl {
public:
    AppImpl();
    ~AppImpl() override;

    AppImpl(const AppImpl&) = delete;
    AppImpl& operator=(const AppImpl&) = delete;

    // The command-line start: `argv` must hold the program and one configuration file path
    // (otherwise Exception "Usage: <argv[0]> <configFile>"). Loads that XML configuration, runs
    // the configuration start, then LoadPlugins(true).
    void Init(int argc, const char* const* argv);
    // The configuration start over the configuration set with SetConfig (NotInitializedException
    // without one). With a null `logger`, logging is set up from the configuration with
    // `logDirectory` and `logName` as defaults for the rotating log; otherwise `logger` serves
    // as the application logger.
    void Init(const std::string& logDirectory, const std::string& logName,
              const Ref<Logger>& logger);
    // Sets the configuration for the configuration start.
    void SetConfig(const Ref<Config>& config);
    // Loads the plug-ins listed under "plugins"; with `required`, a configuration without a
    // "plugins" node throws Exception "Could not find any plugins in config file". A plug-in
    // that fails to load or start passes its exception on; GetStartFailure then names it.
    void LoadPlugins(bool required);
    // What failed last in LoadPlugins ("plug-in N (path)"), empty when nothing did.
    std::string GetStartFailure();
    // The executable's path as resolved at the command-line start; empty otherwise.
    std::string GetExecutablePath();

    Ref<Config> GetConfig() override;
    Ref<Logger> GetLogger() override;
    Ref<System::ThreadPool> GetThreadPool() override;
    Ref<LogManager> GetLogManager() override;
    std::string GetConfigPath() override;
    int32_t GetProcessId() override;
    void LoadPlugin(const std::string& path, const std::string& entryName) override;
    void GetServices(ServiceMap& services) override;
    void RegisterService(const std::string& name, const Ref<Object>& service) override;
    bool UnregisterService(const std::string& name) override;
    bool FindService(const std::string& name, Ref<Object>& service) override;
    void GetPlugins(PluginMap& plugins) override;
    void OpenChannel(const std::string& name, size_t capacity, Ref<Channel>& channel) override;
    bool CloseChannel(const std::string& name) override;
    void Run() override;
    void SetExitCode(int32_t code) override;
    int32_t GetExitCode() override;
    void StopThreadPool() override;
    void Shutdown() override;
    Ref<SessionPool> GetSessionPool() override;

private:
    struct LoadedPlugin {
        // Declared first so that it is destroyed last: the plug-in's code lives in it.
        Ref<System::SharedLibrary> library;
        Ref<Plugin> plugin;
    };

    void SetUpLogging(const Ref<Config::View>& root, const std::string& logDirectory,
                      const std::string& logName);
    // Calls Stop until the plug-in reports finished; false when Stop failed (the library is then
    // kept loaded for good).
    bool StopPlugin(LoadedPlugin& loaded);

    // Guarded by the application's lock.
    Ref<Config> _config;
    Ref<Config::View> _root;
    Ref<Logger> _logger;
    Ref<LogManager> _logManager;
    Ref<System::ThreadPool> _threadPool;
    Ref<ChannelManager> _channelManager;
    Ref<SessionPool> _sessionPool;
    std::string _executablePath;
    std::string _configPath;
    ServiceMap _services;
    std::map<std::string, LoadedPlugin> _plugins;
    std::vector<std::string> _loadOrder;  // plug-in names, first loaded first
    std::vector<Ref<ResourceChecker>> _resourceCheckers;
    std::string _startFailure;
    int32_t _exitCode = 0;
    bool _exitCodeSet = false;
    bool _impersonationEnabled = false;
    bool _testerInitialized = false;
};

}  // namespace Tarvos::Service
