// tarvos-host: runs a Tarvos application from one XML configuration file.
//
//   tarvos-host CONFIG_FILE
//
// Starts the application (logging, thread pool, plug-ins), serves on the main thread until
// SIGTERM or SIGINT asks for an orderly stop, shuts the plug-ins down and exits with the
// application's exit code. A second signal during the shutdown ends the process at once.
// Start-up failures print the reason on standard error and exit with status 1 (2 for a wrong
// command line).

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Ref.h"
#include "tarvos/service/AppImpl.h"
#include "tarvos/service/Log.h"
#include "tarvos/system/ThreadPool.h"

namespace {

using Tarvos::Ref;
using Tarvos::Service::AppImpl;

constexpr int kUsageStatus = 2;
constexpr int kStartFailureStatus = 1;
constexpr int64_t kThreadsEndMicros = 100000;

constexpr int32_t kDefaultShutdownWaitSeconds = 15;

// Set by the signal thread; read by the main thread after start-up.
std::atomic<bool> g_stopRequested{false};
// Set by the main thread when it leaves Run for the shutdown.
std::mutex g_mutex;
std::condition_variable g_shutdownBegan;
bool g_shuttingDown = false;  // guarded by g_mutex

void BeginShutdown() {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_shuttingDown = true;
    g_shutdownBegan.notify_all();
}

bool IsShuttingDown() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_shuttingDown;
}

int32_t ShutdownWaitSeconds(const Ref<AppImpl>& app) {
    int32_t seconds = kDefaultShutdownWaitSeconds;
    try {
        Ref<Tarvos::Service::Config> config = app->GetConfig();
        if (config) {
            Ref<Tarvos::Service::Config::View> root;
            config->GetRootView(root);
            root->GetInt("app/shutdownWaitTimeInSecs", seconds);
        }
    } catch (const Tarvos::Throwable&) {
        // The default applies.
    }
    return seconds;
}

void Report(const std::string& text) {
    std::fprintf(stderr, "tarvos-host: %s\n", text.c_str());
    std::fflush(stderr);
}

// Waits for SIGTERM and SIGINT on a thread of its own (they are blocked everywhere else, so no
// pool thread is ever interrupted): the first asks the application to stop, a second one during
// the shutdown ends the process at once.
void WatchSignals(Ref<AppImpl> app, sigset_t signals) {
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) {
            continue;
        }
        if (g_stopRequested.exchange(true) || IsShuttingDown()) {
            static const char text[] = "tarvos-host: second signal, exiting at once\n";
            ssize_t ignored = write(STDERR_FILENO, text, sizeof text - 1);
            static_cast<void>(ignored);
            _exit(128 + signal);
        }
        Tarvos::Service::Log(app->GetLogger(), Tarvos::Service::LogLevel::Info,
                             "Received signal %1 (%2), stopping", signal, strsignal(signal));
        app->StopThreadPool();
        // The main thread serves as a pool worker: a task that never ends would keep it from
        // the shutdown for good. It gets the configured shutdown wait to get there.
        const int32_t seconds = ShutdownWaitSeconds(app);
        std::unique_lock<std::mutex> guard(g_mutex);
        if (!g_shutdownBegan.wait_for(guard, std::chrono::seconds(seconds),
                                      [] { return g_shuttingDown; })) {
            guard.unlock();
            Tarvos::Service::Log(app->GetLogger(), Tarvos::Service::LogLevel::Error,
                                 "Main thread still busy in a task after %1 s, exiting", seconds);
            std::fflush(stdout);
            _exit(app->GetExitCode());
        }
    }
}

// After Shutdown: pool threads still busy in a task must not run on while static objects are
// destroyed, so the process then ends without running exit handlers.
[[noreturn]] void Exit(const Ref<Tarvos::System::ThreadPool>& pool, int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    if (pool && !pool->WaitForThreads(kThreadsEndMicros)) {
        _exit(status);
    }
    std::exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf(
            "Usage: %s CONFIG_FILE\n"
            "Runs a Tarvos application: loads the XML configuration, sets up logging and the\n"
            "thread pool, loads the plug-ins listed under \"plugins\" and serves until SIGTERM or\n"
            "SIGINT. Exit status: the application's exit code; 1 when start-up fails; 2 for a\n"
            "wrong command line.\n"
            "Example: %s examples/demo/demo.xml\n",
            argv[0], argv[0]);
        return 0;
    }

    // Blocked before any thread exists, so every thread the application starts inherits it.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Ref<AppImpl> app(new AppImpl());
    std::thread(WatchSignals, app, signals).detach();

    Ref<Tarvos::System::ThreadPool> pool;
    try {
        app->Init(argc, argv);
    } catch (const Tarvos::Throwable& failure) {
        const std::string where = app->GetStartFailure();
        if (argc != 2) {
            std::fprintf(stderr, "%s\n", failure.GetMessage().c_str());
            return kUsageStatus;
        }
        Report(std::string(argv[1]) + ": " + (where.empty() ? "" : where + ": ") +
               failure.GetMessage());
        pool = app->GetThreadPool();
        BeginShutdown();
        app->StopThreadPool();
        app->Shutdown();
        Exit(pool, kStartFailureStatus);
    } catch (const std::exception& failure) {
        Report(std::string(argv[1]) + ": " + failure.what());
        pool = app->GetThreadPool();
        BeginShutdown();
        app->StopThreadPool();
        app->Shutdown();
        Exit(pool, kStartFailureStatus);
    }

    pool = app->GetThreadPool();
    if (!g_stopRequested.load()) {
        app->Run();
    } else {
        app->StopThreadPool();
    }
    BeginShutdown();
    Tarvos::Service::Log(app->GetLogger(), Tarvos::Service::LogLevel::Info,
                         "Shutting down, exit code %1", app->GetExitCode());
    app->Shutdown();
    Exit(pool, app->GetExitCode());
}
