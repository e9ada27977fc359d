#include "tarvos/service/AppImpl.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

#include "tarvos/authorize/ImpersonateManager.h"
#include "tarvos/core/DoubleWriter.h"
#include "tarvos/core/Exception.h"
#include "tarvos/core/Format.h"
#include "tarvos/core/NullWriter.h"
#include "tarvos/core/SessionPool.h"
#include "tarvos/service/ConfigFactory.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/LogManagerImpl.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/service/RefTracker.h"
#include "tarvos/service/ResourceChecker.h"
#include "tarvos/service/StackTraceManager.h"
#include "tarvos/service/Tester.h"
#include "tarvos/system/Backtrace.h"
#include "tarvos/system/LockableObject.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/RolloverWriter.h"
#include "tarvos/system/SystemFactory.h"

namespace Tarvos::Service {

namespace {

constexpr int64_t kPluginStopStepMicros = 1000000;
constexpr int64_t kThreadsEndMicros = 1000000;
constexpr int32_t kDefaultShutdownWaitSeconds = 15;
constexpr int32_t kDefaultMaxFileSize = 5242880;
constexpr int32_t kDefaultMaxFileNum = 10;

template <class T>
T ReadOr(const Ref<Config::View>& view, const std::string& path, T fallback,
         bool (Config::View::*get)(const std::string&, T&)) {
    T value = fallback;
    return ((*view).*get)(path, value) ? value : fallback;
}

bool ReadBool(const Ref<Config::View>& view, const std::string& path, bool fallback) {
    return ReadOr<bool>(view, path, fallback, &Config::View::GetBool);
}

std::string ReadString(const Ref<Config::View>& view, const std::string& path,
                       const std::string& fallback) {
    return ReadOr<std::string>(view, path, fallback, &Config::View::GetString);
}

std::string CurrentDirectory() {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::current_path(error);
    return error ? std::string() : path.string();
}

// The executable named by argv[0]: resolved against the current directory when it holds a
// slash, else what the kernel reports (a bare name was found on PATH).
std::string ResolveExecutable(const char* argv0) {
    std::error_code error;
    if (argv0 != nullptr && std::string_view(argv0).find('/') != std::string_view::npos) {
        const std::filesystem::path path = std::filesystem::weakly_canonical(argv0, error);
        if (!error) {
            return path.string();
        }
    }
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string(argv0 != nullptr ? argv0 : "") : self.string();
}

// Plug-in paths: absolute ones as they are, relative ones below the base directory when one is
// set, else below the current directory.
std::string ResolvePluginPath(const std::string& path, const std::string& baseDirectory) {
    std::filesystem::path resolved(path);
    if (resolved.is_relative() && !baseDirectory.empty()) {
        resolved = std::filesystem::path(baseDirectory) / resolved;
    }
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(resolved, error);
    return (error ? resolved : absolute).lexically_normal().string();
}

}  // namespace

AppImpl::AppImpl() = default;

AppImpl::~AppImpl() = default;

void AppImpl::SetConfig(const Ref<Config>& config) {
    System::ScopedLock lock(*this);
    _config = config;
}

void AppImpl::Init(int argc, const char* const* argv) {
    if (argc != 2) {
        const char* program = (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : "";
        throw Exception(std::string("Usage: ") + program + " <configFile>");
    }
    const std::string executable = ResolveExecutable(argv[0]);
    Ref<Config> config;
    CreateXmlFileConfig(argv[1], config);
    config->Load();
    {
        System::ScopedLock lock(*this);
        _executablePath = executable;
        // Absolute now: start-up may change the working directory.
        _configPath = std::filesystem::absolute(argv[1]).lexically_normal().string();
        _config = config;
    }
    Init(std::string(), std::string(), nullptr);
    LoadPlugins(true);
}

void AppImpl::Init(const std::string& logDirectory, const std::string& logName,
                   const Ref<Logger>& logger) {
    Ref<Config::View> root;
    {
        System::ScopedLock lock(*this);
        if (!_config) {
            throw NotInitializedException();
        }
        _config->GetRootView(root);
        _root = root;
        CreateChannelManager(_channelManager);
    }
    if (ReadBool(root, "backtraceEnabled", false)) {
        System::EnableCrashBacktraces();
    }

    if (!logger) {
        SetUpLogging(root, logDirectory, logName);
    } else {
        Ref<LogManager> manager;
        CreateLogManager(manager);
        System::ScopedLock lock(*this);
        _logger = logger;
        _logManager = manager;
        SetDefaultLogger(logger);
    }
    const Ref<Logger> appLogger = GetLogger();

    std::string workingDir;
    if (root->GetString("workingDir", workingDir)) {
        if (chdir(workingDir.c_str()) != 0) {
            System::ThrowPosixError("changing the working directory to " + workingDir);
        }
    }
    Log(appLogger, LogLevel::Info, "Current working directory: %1", CurrentDirectory());

    Ref<Config::View> poolView;
    root->GetView("tarvos/threadpool", poolView);
    Ref<System::ThreadPool> pool;
    System::GetSystemFactory().CreateThreadPool(poolView, pool);
    pool->EnterThread();
    Ref<SessionPool> sessions;
    ::Tarvos::GetSessionPool(pool, sessions);
    {
        System::ScopedLock lock(*this);
        _threadPool = pool;
        _sessionPool = sessions;
    }

    if (ReadBool(root, "tarvos/useRefTracker", false)) {
        GetRefTracker().Start(ReadBool(root, "tarvos/printRefDetails", false));
        RegisterRefTrackerReportAtExit();
    }
    if (ReadBool(root, "tarvos/useStackTracer", false)) {
        EnableStackTracer(true);
    }
    if (ReadBool(root, "tarvos/impersonate", false)) {
        Ref<Impersonate::ImpersonateManager> manager;
        Impersonate::CreateImpersonateManager(manager);
        System::ScopedLock lock(*this);
        _impersonationEnabled = true;
    }
    // Resource checkers for the sections under "resourceChecker" that exist.
    std::vector<Ref<ResourceChecker>> checkers;
    StartResourceCheckers(Ref<App>(this), root, appLogger, checkers);
    {
        System::ScopedLock lock(*this);
        _resourceCheckers = std::move(checkers);
    }
    // Negative test triggers are read from "tarvos/testTriggers" when that node exists.
    Ref<Config::View> triggers;
    if (root->GetView("tarvos/testTriggers", triggers)) {
        InitTester(triggers, appLogger);
        System::ScopedLock lock(*this);
        _testerInitialized = true;
    }
}

void AppImpl::SetUpLogging(const Ref<Config::View>& root, const std::string& logDirectory,
                           const std::string& logName) {
    std::string directory = logDirectory;
    std::string name = logName;
    bool toConsole = true;
    int32_t maxFileSize = kDefaultMaxFileSize;
    int32_t maxFileNum = kDefaultMaxFileNum;
    std::string level = "info";
    std::string readFailure;
    try {
        root->GetString("log/directory", directory);
        root->GetString("log/name", name);
        root->GetBool("log/outputToConsole", toConsole);
        root->GetInt("log/maxFileSize", maxFileSize);
        root->GetInt("log/maxFileNum", maxFileNum);
        root->GetString("log/level", level);
    } catch (const Exception& failure) {
        readFailure = failure.GetMessage();
    }

    Ref<Writer> console;
    if (toConsole) {
        System::GetSystemFactory().CreateConsoleWriter(console);
    }
    Ref<Writer> file;
    if (!directory.empty() && !name.empty()) {
        // A missing log directory is made, so that a fresh deployment logs from its first start.
        std::error_code error;
        std::filesystem::create_directories(directory, error);
        Ref<System::RolloverWriter> rollover;
        System::GetSystemFactory().CreateRolloverLogWriter(directory, name, maxFileSize, maxFileNum,
                                                           rollover);
        file = Ref<Writer>(rollover.Get());
    }
    Ref<Writer> output;
    if (console && file) {
        CreateDoubleWriter(console, file, output);
    } else if (console || file) {
        output = console ? console : file;
    } else {
        CreateNullWriter(output);
    }

    Ref<LogManager> manager;
    CreateLogManager(manager);
    Ref<Logger> logger;
    CreateRootLogger("App", output, manager, logger);
    SetDefaultLogger(logger);
    {
        System::ScopedLock lock(*this);
        _logger = logger;
        _logManager = manager;
    }
    if (!logger->SetLevelByName(level)) {
        logger->SetLevel(LogLevel::Info);
        Log(logger, LogLevel::Warning, "Unrecognized Log Level '%1' in configuration file", level);
    }
    try {
        std::vector<std::string> settings;
        root->GetChildNames("", "level", settings);
        for (const std::string& setting : settings) {
            std::string loggerName;
            std::string levelName;
            bool prefix = false;
            root->GetString(setting + "/logName", loggerName);
            root->GetString(setting + "/logLevel", levelName);
            root->GetBool(setting + "/prefix", prefix);
            manager->SetLevel(loggerName, levelName, prefix);
        }
    } catch (const Exception& failure) {
        if (readFailure.empty()) {
            readFailure = failure.GetMessage();
        }
    }
    if (!readFailure.empty()) {
        Log(logger, LogLevel::Warning, "Failed to read log parameters from configuration: %1",
            readFailure);
    }
}

void AppImpl::LoadPlugins(bool required) {
    Ref<Config::View> root;
    Ref<Logger> logger;
    std::string executable;
    {
        System::ScopedLock lock(*this);
        root = _root;
        logger = _logger;
        executable = _executablePath;
        _startFailure.clear();
    }
    if (!root) {
        throw NotInitializedException();
    }
    if (!ReadBool(root, "tarvos/loadPlugins", true)) {
        return;
    }
    std::vector<std::string> entries;
    if (!root->GetChildNames("plugins", entries)) {
        if (required) {
            throw Exception("Could not find any plugins in config file");
        }
        return;
    }
    std::vector<std::string> paths;
    for (const std::string& entry : entries) {
        Log(logger, LogLevel::Info, "Trying %1", entry);
        if (!ReadBool(root, "plugins/" + entry + "/enabled", true)) {
            continue;
        }
        std::string path;
        if (root->GetString("plugins/" + entry + "/path", path)) {
            paths.push_back(path);
        }
    }
    if (!executable.empty()) {
        Log(logger, LogLevel::Verbose, "Executable directory: %1",
            std::filesystem::path(executable).parent_path().string());
    }
    const std::string baseDirectory = ReadString(root, "tarvos/pluginBaseDir", std::string());
    if (!baseDirectory.empty()) {
        Log(logger, LogLevel::Verbose, "Plugin base directory: %1", baseDirectory);
    }

    std::vector<Ref<Plugin>> loaded;
    for (size_t i = 0; i < paths.size(); ++i) {
        Log(logger, LogLevel::Verbose, "Plugin %1 path: %2", i, paths[i]);
        const std::string absolute = ResolvePluginPath(paths[i], baseDirectory);
        Log(logger, LogLevel::Verbose, "Plugin %1 absolute path: %2", i, absolute);
        try {
            LoadPlugin(absolute, kPluginEntryName);
            Ref<Plugin> plugin;
            {
                System::ScopedLock lock(*this);
                plugin = _plugins[_loadOrder.back()].plugin;
            }
            plugin->Init(*this);
            loaded.push_back(plugin);
        } catch (const Exception& failure) {
            const std::string what = FormatString("plug-in %1 (%2)", i, absolute);
            Log(logger, LogLevel::Error, "Failed to start %1: %2", what, failure.GetMessage());
            System::ScopedLock lock(*this);
            _startFailure = what;
            throw;
        }
    }
    for (size_t i = 0; i < loaded.size(); ++i) {
        try {
            loaded[i]->Start(*this);
        } catch (const Exception& failure) {
            const std::string what = FormatString("plug-in %1", loaded[i]->GetName());
            Log(logger, LogLevel::Error, "Failed to start %1: %2", what, failure.GetMessage());
            System::ScopedLock lock(*this);
            _startFailure = what;
            throw;
        }
    }
}

std::string AppImpl::GetStartFailure() {
    System::ScopedLock lock(*this);
    return _startFailure;
}

std::string AppImpl::GetExecutablePath() {
    System::ScopedLock lock(*this);
    return _executablePath;
}

void AppImpl::LoadPlugin(const std::string& path, const std::string& entryName) {
    LoadedPlugin loaded;
    System::GetSystemFactory().CreateSharedLibrary(path, loaded.library);
    const auto entry = reinterpret_cast<PluginEntry>(loaded.library->GetSymbol(entryName));
    std::string name;
    {
        System::ScopedLock lock(*this);
        entry(nullptr, nullptr, &loaded.plugin);
        if (!loaded.plugin) {
            throw Exception("Plug-in library " + path + " made no plug-in");
        }
        name = loaded.plugin->GetName();
        if (_plugins.count(name) == 0) {
            _loadOrder.push_back(name);
            _plugins.emplace(name, std::move(loaded));
            return;
        }
    }
    // `loaded` goes out of scope here: the plug-in is released before its library unloads.
    throw AlreadyExistsException();
}

std::string AppImpl::GetConfigPath() {
    System::ScopedLock lock(*this);
    return _configPath;
}

Ref<Config> AppImpl::GetConfig() {
    System::ScopedLock lock(*this);
    return _config;
}

Ref<Logger> AppImpl::GetLogger() {
    System::ScopedLock lock(*this);
    return _logger;
}

Ref<System::ThreadPool> AppImpl::GetThreadPool() {
    System::ScopedLock lock(*this);
    return _threadPool;
}

Ref<LogManager> AppImpl::GetLogManager() {
    System::ScopedLock lock(*this);
    return _logManager;
}

int32_t AppImpl::GetProcessId() {
    return static_cast<int32_t>(getpid());
}

void AppImpl::GetServices(ServiceMap& services) {
    System::ScopedLock lock(*this);
    services = _services;
}

void AppImpl::RegisterService(const std::string& name, const Ref<Object>& service) {
    if (!service) {
        throw InvalidArgumentException("RegisterService: null service " + name);
    }
    System::ScopedLock lock(*this);
    if (!_services.emplace(name, service).second) {
        throw AlreadyExistsException();
    }
}

bool AppImpl::UnregisterService(const std::string& name) {
    Ref<Object> removed;  // released after the lock
    System::ScopedLock lock(*this);
    auto it = _services.find(name);
    if (it == _services.end()) {
        return false;
    }
    removed = std::move(it->second);
    _services.erase(it);
    return true;
}

bool AppImpl::FindService(const std::string& name, Ref<Object>& service) {
    System::ScopedLock lock(*this);
    auto it = _services.find(name);
    if (it == _services.end()) {
        return false;
    }
    service = it->second;
    return true;
}

void AppImpl::GetPlugins(PluginMap& plugins) {
    System::ScopedLock lock(*this);
    plugins.clear();
    for (const auto& [name, loaded] : _plugins) {
        plugins.emplace(name, loaded.plugin);
    }
}

void AppImpl::OpenChannel(const std::string& name, size_t capacity, Ref<Channel>& channel) {
    Ref<ChannelManager> manager;
    {
        System::ScopedLock lock(*this);
        manager = _channelManager;
    }
    if (!manager) {
        throw InvalidStateException();
    }
    manager->OpenChannel(name, capacity, channel);
}

bool AppImpl::CloseChannel(const std::string& name) {
    Ref<ChannelManager> manager;
    {
        System::ScopedLock lock(*this);
        manager = _channelManager;
    }
    if (!manager) {
        throw InvalidStateException();
    }
    return manager->CloseChannel(name);
}

void AppImpl::Run() {
    const Ref<System::ThreadPool> pool = GetThreadPool();
    if (!pool) {
        throw NotInitializedException();
    }
    while (pool->RunThread()) {
    }
}

void AppImpl::SetExitCode(int32_t code) {
    System::ScopedLock lock(*this);
    _exitCode = code;
    _exitCodeSet = true;
}

int32_t AppImpl::GetExitCode() {
    System::ScopedLock lock(*this);
    return _exitCodeSet ? _exitCode : 0;
}

void AppImpl::StopThreadPool() {
    const Ref<System::ThreadPool> pool = GetThreadPool();
    if (pool) {
        pool->Shutdown();
    }
}

bool AppImpl::StopPlugin(LoadedPlugin& loaded) {
    const Ref<Logger> logger = GetLogger();
    const std::string name = loaded.plugin->GetName();
    for (;;) {
        try {
            if (loaded.plugin->Stop(kPluginStopStepMicros)) {
                return true;
            }
        } catch (const Exception& failure) {
            // A plug-in whose stop fails cannot be waited for any further; its code may still
            // run, so its library stays loaded (invariant 2).
            Log(logger, LogLevel::Error, "Plug-in %1 failed to stop: %2", name,
                failure.GetMessage());
            static_cast<void>(loaded.library.Release());
            return false;
        }
        Log(logger, LogLevel::Info, "Waiting for plug-in %1 to stop", name);
    }
}

void AppImpl::Shutdown() {
    Ref<System::ThreadPool> pool;
    Ref<Config::View> root;
    std::vector<std::string> order;
    {
        System::ScopedLock lock(*this);
        if (!_threadPool) {
            return;
        }
        pool = _threadPool;
        root = _root;
        order = _loadOrder;
    }
    int32_t waitSeconds = kDefaultShutdownWaitSeconds;
    try {
        root->GetInt("app/shutdownWaitTimeInSecs", waitSeconds);
    } catch (const Exception&) {
        // An unreadable setting keeps the default.
    }

    // Last loaded first: a plug-in may use the services of those loaded before it. The
    // libraries stay loaded until the end (invariant 2): services, sessions and queued tasks
    // released below may still run code of a plug-in.
    std::vector<Ref<System::SharedLibrary>> libraries;
    for (auto name = order.rbegin(); name != order.rend(); ++name) {
        LoadedPlugin loaded;
        {
            System::ScopedLock lock(*this);
            auto it = _plugins.find(*name);
            if (it == _plugins.end()) {
                continue;
            }
            loaded = std::move(it->second);
            _plugins.erase(it);
        }
        if (StopPlugin(loaded)) {
            libraries.push_back(std::move(loaded.library));
        }
        loaded.plugin.Reset();
    }

    // The checkers hold the application: stopped and released here, on the start-up thread,
    // which is still a pool thread.
    std::vector<Ref<ResourceChecker>> checkers;
    {
        System::ScopedLock lock(*this);
        checkers.swap(_resourceCheckers);
    }
    for (const Ref<ResourceChecker>& checker : checkers) {
        checker->Stop();
    }
    checkers.clear();

    pool->Drain(static_cast<int64_t>(waitSeconds) * 1000000);

    // Everything is moved out under the lock and released after it: releasing a service or a
    // session may run code that calls back into the application.
    Ref<LogManager> manager;
    ServiceMap services;
    Ref<SessionPool> sessions;
    Ref<ChannelManager> channels;
    Ref<Logger> logger;
    Ref<Config> config;
    {
        System::ScopedLock lock(*this);
        manager = std::move(_logManager);
        services.swap(_services);
        sessions = std::move(_sessionPool);
        channels = std::move(_channelManager);
        logger = std::move(_logger);
        config = std::move(_config);
        _root.Reset();
        _threadPool.Reset();
        _plugins.clear();  // emptied by the loop above unless a plug-in was loaded meanwhile
        _loadOrder.clear();
    }
    services.clear();
    sessions.Reset();
    if (manager) {
        manager->Clear();
    }
    SetDefaultLogger(nullptr);
    pool->LeaveThread();
    bool impersonation = false;
    bool tester = false;
    {
        System::ScopedLock lock(*this);
        std::swap(impersonation, _impersonationEnabled);
        std::swap(tester, _testerInitialized);
    }
    if (impersonation) {
        Impersonate::RemoveImpersonateManager();
    }
    if (tester) {
        ShutdownTester();
    }
    // A pool thread still busy in a task may be running plug-in code: then the libraries stay
    // loaded for the rest of the process. Idle workers of a pool that was shut down end within
    // moments; a busy one gets a second.
    if (!pool->IsShuttingDown() || !pool->WaitForThreads(kThreadsEndMicros)) {
        for (Ref<System::SharedLibrary>& library : libraries) {
            static_cast<void>(library.Release());
        }
    }
}

Ref<SessionPool> AppImpl::GetSessionPool() {
    System::ScopedLock lock(*this);
    return _sessionPool;
}

}  // namespace Tarvos::Service
