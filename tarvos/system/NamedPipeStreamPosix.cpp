#include "tarvos/system/internal/NamedPipeStreamPosix.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

#include "tarvos/service/Log.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactoryImpl.h"

namespace Tarvos::System {

using Service::Log;
namespace LogLevel = Service::LogLevel;

namespace {

constexpr char kPipePrefix[] = "\\\\.\\pipe\\";
// How long a client waits for a busy pipe, and how often it tries meanwhile.
constexpr int64_t kBusyWaitMillis = 30000;
constexpr int64_t kBusyRetryMillis = 10;

std::string PipeDirectory() {
    if (const char* configured = getenv("TARVOS_PIPE_DIR"); configured && *configured) {
        return configured;
    }
    if (geteuid() == 0) {
        return "/run/tarvos";
    }
    if (const char* runtime = getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        return std::string(runtime) + "/tarvos";
    }
    return "/tmp/tarvos-" + std::to_string(geteuid());
}

}  // namespace

std::string PipeSocketPath(const std::string& pipeName) {
    std::string name = pipeName;
    if (name.rfind(kPipePrefix, 0) == 0) {
        name.erase(0, sizeof kPipePrefix - 1);
    }
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string("/\0", 2)) != std::string::npos) {
        throw InvalidArgumentException("not a pipe name: " + pipeName);
    }
    std::string path = PipeDirectory() + "/" + name;
    if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
        throw InvalidArgumentException("pipe path too long: " + path);
    }
    return path;
}

void EnsurePipeDirectory() {
    const std::string directory = PipeDirectory();
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        ThrowPosixError("mkdir " + directory);
    }
}

Ref<Service::Logger> GetNamedPipeLogger() {
    Ref<Service::Logger> logger;
    if (Ref<Service::Logger> root = Service::TryGetDefaultLogger()) {
        root->CreateLogger("NamedPipe", logger);
    }
    return logger;
}

// ---------------------------------------------------------------------------------------------
// NamedPipeStreamPosix

NamedPipeStreamPosix::NamedPipeStreamPosix(std::string pipeName, int fd, bool serverSide)
    : _pipeName(std::move(pipeName)) {
    if (fd >= 0) {
        ScopedLock lock(*this);
        AttachPipeLocked(fd, serverSide);
    }
}

NamedPipeStreamPosix::~NamedPipeStreamPosix() {
    ScopedLock lock(*this);
    StreamSocket::Close();
}

void NamedPipeStreamPosix::AttachPipeLocked(int fd, bool serverSide) {
    Ref<NamedPipeBindingInfoImpl> local;
    Ref<NamedPipeBindingInfoImpl> remote;
    if (serverSide) {
        // Read before AttachLocked, which closes `fd` when it fails.
        remote = NamedPipeBindingInfoImpl::ForServerEnd(_pipeName, fd);
        local = new NamedPipeBindingInfoImpl(_pipeName, remote->GetClientUserName(),
                                             remote->GetClientToken());
    } else {
        local = new NamedPipeBindingInfoImpl(_pipeName);
        remote = new NamedPipeBindingInfoImpl(_pipeName);
    }
    AttachLocked(fd);
    _local = std::move(local);
    _remote = std::move(remote);
}

void NamedPipeStreamPosix::GetBindingInfo(BindingKind kind, Ref<BindingInfo>& local,
                                          Ref<BindingInfo>& remote) {
    local.Reset();
    remote.Reset();
    if (kind != BindingKind::NamedPipe) {
        return;
    }
    ScopedLock lock(*this);
    local = _local;
    remote = _remote;
}

// ---------------------------------------------------------------------------------------------
// NamedPipeClientStreamPosix

NamedPipeClientStreamPosix::NamedPipeClientStreamPosix(std::string pipeName)
    : NamedPipeStreamPosix(std::move(pipeName), -1, false), _path(PipeSocketPath(_pipeName)) {}

NamedPipeClientStreamPosix::~NamedPipeClientStreamPosix() = default;

void NamedPipeClientStreamPosix::Connect(bool waitIfBusy) {
    {
        ScopedLock lock(*this);
        if (HasHandleLocked()) {
            throw AlreadyInitializedException();
        }
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    _path.copy(address.sun_path, sizeof address.sun_path - 1);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyWaitMillis);
    bool logged = false;
    for (;;) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            ThrowPosixError("socket");
        }
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            ScopedLock lock(*this);
            if (HasHandleLocked()) {
                close(fd);
                throw AlreadyInitializedException();
            }
            AttachPipeLocked(fd, false);
            return;
        }
        const int error = errno;
        close(fd);
        // A full queue of a Unix-domain listener refuses a non-blocking connect with EAGAIN:
        // the pipe is busy.
        if (error != EAGAIN || !waitIfBusy) {
            ThrowPosixError(error, "connect to pipe " + _pipeName);
        }
        if (!logged) {
            Log(GetNamedPipeLogger(), LogLevel::Warning,
                "Waiting for the named hPipe %1 to become available for connection... ", _pipeName);
            logged = true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ThrowPosixError(ETIMEDOUT, "waiting for pipe " + _pipeName);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kBusyRetryMillis));
    }
}

void SystemFactoryImpl::CreateNamedPipeClientStream(const std::string& pipeName,
                                                    Ref<NamedPipeClientStream>& stream) {
    stream = new NamedPipeClientStreamPosix(pipeName);
}

}  // namespace Tarvos::System
