// A child process on Linux.
//
// States: created -> started (Start succeeded: pipes and child exist) -> ended (the child's
// status was collected by Wait, HasExited or GetExitCode). A failed Start leaves the object in
// `created`, with nothing open, and may be retried. The destructor leaves every state.
//
// Invariants:
//  1. Every descriptor the object makes carries FD_CLOEXEC from its creation (pipe2 with
//     O_CLOEXEC, F_DUPFD_CLOEXEC), so no other child of the process, started by any thread at
//     any time, inherits one. The child gets exactly its three pipe ends as descriptors 0, 1 and
//     2, made by dup2 in the child, which clears the flag on the copies only.
//  2. The child's ends are never below 3 when they are dup2'ed, so one dup2 cannot overwrite
//     the source of another.
//  3. The child's pid is signalled only while it is unreaped (it cannot have been reused then);
//     _lost marks a child someone else reaped, which is never signalled.
//  4. The status is collected at most once, under _processMutex; _exited and _exitCode never
//     change afterwards.
//  5. The library never changes the process's SIGPIPE disposition: a write to a closed input
//     holds SIGPIPE blocked for the writing thread only and consumes the signal it raised.
//  6. The destructor closes the pipes, then kills (SIGKILL) and reaps a child that still runs,
//     so no zombie outlives the object.

#include "tarvos/system/internal/SysCommandPosix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "tarvos/service/Log.h"
#include "tarvos/system/SystemFactoryImpl.h"

extern char** environ;

namespace Tarvos::System {

using Service::Log;
namespace LogLevel = Service::LogLevel;

namespace {

constexpr const char* kLoggerName = "SysCommandPosix";
// Without a pidfd, Wait looks for the child's end at growing steps up to this bound.
constexpr auto kMaxPollStep = std::chrono::milliseconds(50);

void CloseDescriptor(int& fd) {
    if (fd >= 0) {
        // Linux releases the descriptor even when close reports EINTR: never retry.
        ::close(fd);
        fd = -1;
    }
}

// Makes a pipe whose two ends are close-on-exec and not below 3. Returns 0, or the step that
// failed: 1 the pipe, 2 moving an end above the standard descriptors.
int MakePipe(int (&fds)[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        fds[0] = fds[1] = -1;
        return 1;
    }
    for (int& fd : fds) {
        if (fd < 3) {
            // The host closed one of its standard descriptors; a dup2 onto 0..2 in the child
            // could then overwrite another pipe end before it is copied.
            const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
            if (moved < 0) {
                CloseDescriptor(fds[0]);
                CloseDescriptor(fds[1]);
                return 2;
            }
            ::close(fd);
            fd = moved;
        }
    }
    return 0;
}

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    return fd >= 0 ? static_cast<int>(fd) : -1;
#else
    (void)pid;
    return -1;
#endif
}

// Holds SIGPIPE blocked for the calling thread while it exists; a SIGPIPE raised meanwhile by
// this thread (and not already pending before) is consumed before the mask is restored.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&_pipeSet);
        sigaddset(&_pipeSet, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        _wasPending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        _blocked = ::pthread_sigmask(SIG_BLOCK, &_pipeSet, &_previous) == 0;
    }
    ~SigpipeGuard() {
        if (!_blocked) {
            return;
        }
        if (_raised && !_wasPending) {
            const timespec zero{};
            while (::sigtimedwait(&_pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &_previous, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

    void NoteBrokenPipe() noexcept { _raised = true; }

private:
    sigset_t _pipeSet;
    sigset_t _previous;
    bool _wasPending = false;
    bool _blocked = false;
    bool _raised = false;
};

// Start's platform resources, released in one place whatever step fails.
struct SpawnResources {
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    int error[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool actionsMade = false;
    bool attributesMade = false;

    ~SpawnResources() {
        for (int* pipe : {input, output, error}) {
            CloseDescriptor(pipe[0]);
            CloseDescriptor(pipe[1]);
        }
        if (actionsMade) {
            posix_spawn_file_actions_destroy(&actions);
        }
        if (attributesMade) {
            posix_spawnattr_destroy(&attributes);
        }
    }
};

}  // namespace

void SystemFactoryImpl::CreateSysCommand(Ref<SysCommand>& command) {
    Ref<Service::Logger> logger;
    if (Ref<Service::Logger> root = Service::TryGetDefaultLogger()) {
        root->CreateLogger(kLoggerName, logger);
    }
    command = new SysCommandPosix(logger);
}

SysCommandPosix::SysCommandPosix(const Ref<Service::Logger>& logger) : SysCommandBase(logger) {}

SysCommandPosix::~SysCommandPosix() {
    CloseDescriptor(_inputFd);
    CloseDescriptor(_outputFd);
    CloseDescriptor(_errorFd);
    std::lock_guard<std::mutex> guard(_processMutex);
    if (_started && !_exited && !_lost) {
        // Not yet reaped, so the pid is still this child's (invariant 3).
        if (ReapLocked() == ReapResult::Running) {
            Log(GetLogger(), LogLevel::Verbose, "Killing process %1, which is still running",
                static_cast<int32_t>(_pid));
            ::kill(_pid, SIGKILL);
            int status = 0;
            while (::waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    CloseDescriptor(_pidFd);
}

bool SysCommandPosix::Start(bool mergeStderr) {
    if (_started) {
        Log(GetLogger(), LogLevel::Error, "command already started");
        return false;
    }
    SpawnResources made;
    const struct {
        int (&fds)[2];
        const char* failure;
        bool wanted;
    } pipes[] = {{made.input, "error creating stdin pipe", true},
                 {made.output, "error creating stdout pipe", true},
                 {made.error, "error creating stderr pipe", !mergeStderr}};
    for (const auto& pipe : pipes) {
        if (!pipe.wanted) {
            continue;
        }
        const int failedStep = MakePipe(pipe.fds);
        if (failedStep != 0) {
            Log(GetLogger(), LogLevel::Error,
                failedStep == 1 ? pipe.failure : "error duplicating pipe descriptor");
            return false;
        }
    }

    const int childError = mergeStderr ? made.output[1] : made.error[1];
    int rc = posix_spawn_file_actions_init(&made.actions);
    made.actionsMade = rc == 0;
    if (rc == 0) {
        rc = posix_spawn_file_actions_adddup2(&made.actions, made.input[0], 0);
    }
    if (rc == 0) {
        rc = posix_spawn_file_actions_adddup2(&made.actions, made.output[1], 1);
    }
    if (rc == 0) {
        rc = posix_spawn_file_actions_adddup2(&made.actions, childError, 2);
    }
    if (rc == 0) {
        rc = posix_spawnattr_init(&made.attributes);
        made.attributesMade = rc == 0;
    }
    if (rc == 0) {
        // The child starts with no signal blocked and with SIGPIPE at its default, whatever the
        // spawning thread (or the host, for an ignored SIGPIPE) had set.
        sigset_t none;
        sigset_t pipeOnly;
        sigemptyset(&none);
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        rc = posix_spawnattr_setsigmask(&made.attributes, &none);
        if (rc == 0) {
            rc = posix_spawnattr_setsigdefault(&made.attributes, &pipeOnly);
        }
        if (rc == 0) {
            rc = posix_spawnattr_setflags(&made.attributes,
                                          POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        }
    }
    pid_t pid = -1;
    if (rc == 0) {
        const std::string program = GetProgram();
        const std::vector<std::string> arguments = GetArguments();
        std::vector<char*> argv;
        argv.reserve(arguments.size() + 2);
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        // glibc reports a failed exec (a missing program) here and reaps that child itself.
        rc = posix_spawnp(&pid, program.c_str(), &made.actions, &made.attributes, argv.data(),
                          environ);
    }
    if (rc != 0) {
        Log(GetLogger(), LogLevel::Error, "error %1 creating process", rc);
        return false;
    }

    _pid = pid;
    _pidFd = OpenPidFd(pid);
    std::swap(_inputFd, made.input[1]);
    std::swap(_outputFd, made.output[0]);
    std::swap(_errorFd, made.error[0]);
    SetMergeStderr(mergeStderr);
    _started = true;
    return true;
    // `made` closes the child's ends here.
}

SysCommandPosix::ReapResult SysCommandPosix::ReapLocked() {
    if (_exited) {
        return ReapResult::Ended;
    }
    if (_lost) {
        Log(GetLogger(), LogLevel::Error, "error getting process exitcode");
        return ReapResult::Failed;
    }
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(_pid, &status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == 0) {
        return ReapResult::Running;
    }
    if (reaped < 0) {
        if (errno == ECHILD) {
            _lost = true;
            Log(GetLogger(), LogLevel::Error, "error getting process exitcode");
        } else {
            Log(GetLogger(), LogLevel::Error, "error waiting for process handle");
        }
        return ReapResult::Failed;
    }
    _exitCode = WIFEXITED(status)     ? WEXITSTATUS(status)
                : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                      : -1;
    _exited = true;
    return ReapResult::Ended;
}

bool SysCommandPosix::Wait(int32_t seconds) {
    if (!_started) {
        Log(GetLogger(), LogLevel::Error, "error waiting for process handle");
        return false;
    }
    using Clock = std::chrono::steady_clock;
    const bool unlimited = seconds < 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(unlimited ? 0 : seconds);
    auto step = std::chrono::milliseconds(1);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(_processMutex);
            const ReapResult result = ReapLocked();
            if (result != ReapResult::Running) {
                return result == ReapResult::Ended;
            }
        }
        std::chrono::milliseconds remaining(-1);
        if (!unlimited) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                return false;
            }
            remaining = std::chrono::ceil<std::chrono::milliseconds>(left);
        }
        if (_pidFd >= 0) {
            // The pidfd turns readable when the child ends; its status is collected above.
            pollfd entry{_pidFd, POLLIN, 0};
            const int64_t limit = unlimited ? -1 : std::min<int64_t>(remaining.count(), 3600000);
            if (::poll(&entry, 1, static_cast<int>(limit)) < 0 && errno != EINTR) {
                Log(GetLogger(), LogLevel::Error, "error waiting for process handle");
                return false;
            }
        } else {
            std::this_thread::sleep_for(unlimited ? step : std::min(step, remaining));
            step = std::min(step * 2, kMaxPollStep);
        }
    }
}

bool SysCommandPosix::HasExited() {
    if (!_started) {
        return false;
    }
    std::lock_guard<std::mutex> guard(_processMutex);
    if (!_exited && !_lost) {
        ReapLocked();
    }
    return _exited;
}

bool SysCommandPosix::GetExitCode(int32_t& code) {
    if (!HasExited()) {
        return false;
    }
    std::lock_guard<std::mutex> guard(_processMutex);
    code = _exitCode;
    return true;
}

bool SysCommandPosix::ReadRaw(int channel, char* buffer, int32_t length, int32_t& bytesRead) {
    bytesRead = 0;
    const int fd = PipeIndex(channel) == 0 ? _outputFd : _errorFd;
    if (fd < 0) {
        Log(GetLogger(), LogLevel::Error, "Error %1 reading", static_cast<int32_t>(EBADF));
        return false;
    }
    if (length <= 0) {
        return true;
    }
    ssize_t got;
    do {
        got = ::read(fd, buffer, static_cast<size_t>(length));
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        bytesRead = static_cast<int32_t>(got);
        return true;
    }
    if (got < 0 && errno != EPIPE) {
        Log(GetLogger(), LogLevel::Error, "Error %1 reading", static_cast<int32_t>(errno));
    }
    return false;
}

bool SysCommandPosix::Write(const std::string& text) {
    std::lock_guard<std::mutex> guard(_inputMutex);
    if (_inputFd < 0) {
        Log(GetLogger(), LogLevel::Error, "Error %1 writing", static_cast<int32_t>(EBADF));
        return false;
    }
    size_t written = 0;
    int error = 0;
    {
        SigpipeGuard sigpipe;
        // A blocking pipe write returns short only when a signal handler interrupted it: go on.
        while (written < text.size()) {
            const ssize_t put = ::write(_inputFd, text.data() + written, text.size() - written);
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                error = errno;
                if (error == EPIPE) {
                    sigpipe.NoteBrokenPipe();
                }
                break;
            }
            written += static_cast<size_t>(put);
        }
    }
    if (error != 0 && written == 0) {
        Log(GetLogger(), LogLevel::Error, "Error %1 writing", static_cast<int32_t>(error));
        return false;
    }
    if (written < text.size()) {
        Log(GetLogger(), LogLevel::Error, "Requested %1, but only wrote %2",
            static_cast<uint64_t>(text.size()), static_cast<uint64_t>(written));
        return false;
    }
    return true;
}

void SysCommandPosix::CloseInput() {
    std::lock_guard<std::mutex> guard(_inputMutex);
    CloseDescriptor(_inputFd);
}

}  // namespace Tarvos::System
