// Start-up of tarvos-host with the demo configuration, from the fork to the first heartbeat
// line on its standard output (the log goes to the console only here). Each iteration then
// stops the host with SIGTERM and waits for it, outside the timed part.
//
//   HostStartToFirstHeartbeat   wall time per start, in milliseconds

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

extern char** environ;

namespace {

std::string WriteDemoConfig() {
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("tarvos-startup-" + std::to_string(getpid()) + ".xml");
    std::ofstream(path) << "<config><log><outputToConsole>true</outputToConsole></log>"
                        << "<tarvos><threadpool><TaskMax>4</TaskMax></threadpool>"
                        << "<pluginBaseDir>" << TARVOS_DEMO_PLUGIN_DIR
                        << "</pluginBaseDir></tarvos>"
                        << "<plugins><demo><path>libtarvos_demo.so</path></demo></plugins>"
                        << "<demo><heartbeatSeconds>5</heartbeatSeconds></demo></config>";
    return path.string();
}

// Reads the child's output until a line holds `text`; false on end of output or after 10 s.
bool ReadUntil(int fd, const std::string& text) {
    std::string seen;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 100) <= 0) {
            continue;
        }
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return false;
        }
        seen.append(buffer, static_cast<size_t>(got));
        if (seen.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void BM_HostStartToFirstHeartbeat(benchmark::State& state) {
    const std::string config = WriteDemoConfig();
    for (auto _ : state) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            state.SkipWithError("pipe");
            break;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        char program[] = TARVOS_HOST_PROGRAM;
        std::vector<char*> argv = {program, const_cast<char*>(config.c_str()), nullptr};
        pid_t pid = -1;
        const auto begin = std::chrono::steady_clock::now();
        const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        const bool beat = spawned == 0 && ReadUntil(out[0], "Heartbeat 1");
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
        if (spawned == 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        close(out[0]);
        if (!beat) {
            state.SkipWithError("no heartbeat from the host");
            break;
        }
    }
    std::filesystem::remove(config);
}
BENCHMARK(BM_HostStartToFirstHeartbeat)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
