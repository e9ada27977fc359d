#include "tarvos/system/internal/Debugger.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Tarvos::System {

bool IsDebuggerAttached() noexcept {
    FILE* status = std::fopen("/proc/self/status", "re");
    if (status == nullptr) {
        return false;
    }
    char line[256];
    bool attached = false;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "TracerPid:", 10) == 0) {
            attached = std::atoi(line + 10) != 0;
            break;
        }
    }
    std::fclose(status);
    return attached;
}

void BreakIntoDebugger() noexcept {
    if (IsDebuggerAttached()) {
        raise(SIGTRAP);
    } else {
        static const char kLine[] = "Debugger break requested, but no debugger is attached\n";
        std::fwrite(kLine, 1, sizeof kLine - 1, stderr);
    }
}

void WriteProcessDump() noexcept {
    rlimit limit{};
    if (getrlimit(RLIMIT_CORE, &limit) != 0 || limit.rlim_cur == 0) {
        return;
    }
    // The child is a copy of the process (its memory, the calling thread's stack) that aborts
    // and so leaves the core; the process itself goes on to exit with its own status.
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGABRT, SIG_DFL);
        abort();
    }
    if (child > 0) {
        int status = 0;
        waitpid(child, &status, 0);
    }
}

}  // namespace Tarvos::System
