#include "tarvos/system/internal/NamedPipeServerPosix.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactoryImpl.h"
#include "tarvos/system/internal/NamedPipeStreamPosix.h"

namespace Tarvos::System {

namespace {

constexpr int kDefaultBacklog = 128;

// Whether a server answers at `address` (a socket file left by a dead process does not).
bool SomeoneListens(const sockaddr_un& address) {
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return true;  // cannot tell: do not remove anything
    }
    const bool answered =
        connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
        errno == EAGAIN;
    close(probe);
    return answered;
}

}  // namespace

NamedPipeServerPosix::NamedPipeServerPosix(std::string pipeName, int32_t backlog)
    : _pipeName(std::move(pipeName)), _path(PipeSocketPath(_pipeName)) {
    EnsurePipeDirectory();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    _path.copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ThrowPosixError("socket");
    }
    const auto* raw = reinterpret_cast<const sockaddr*>(&address);
    int status = bind(fd, raw, sizeof address);
    if (status != 0 && errno == EADDRINUSE && !SomeoneListens(address)) {
        unlink(_path.c_str());
        status = bind(fd, raw, sizeof address);
    }
    if (status != 0 || listen(fd, backlog > 0 ? backlog : kDefaultBacklog) != 0) {
        const int error = errno;
        close(fd);
        ThrowPosixError(error, "listen on pipe " + _path);
    }
    struct stat made {};
    if (stat(_path.c_str(), &made) == 0) {
        _inode = made.st_ino;
    }
    ScopedLock lock(*this);
    AttachListenerLocked(fd);
}

NamedPipeServerPosix::~NamedPipeServerPosix() {
    ScopedLock lock(*this);
    if (IsListeningLocked()) {
        OnClosingLocked(GetFdLocked());
    }
}

void NamedPipeServerPosix::OnClosingLocked(int) {
    struct stat current {};
    if (_inode != 0 && stat(_path.c_str(), &current) == 0 && current.st_ino == _inode) {
        unlink(_path.c_str());
    }
}

void NamedPipeServerPosix::WrapAccepted(int fd, Ref<Stream>& stream) {
    stream = new NamedPipeStreamPosix(_pipeName, fd, true);
}

Ref<Service::Logger> NamedPipeServerPosix::GetListenerLogger() {
    return GetNamedPipeLogger();
}

void SystemFactoryImpl::CreateNamedPipeServer(const std::string& pipeName, int32_t backlog,
                                              Ref<NamedPipeServer>& server) {
    server = new NamedPipeServerPosix(pipeName, backlog);
}

}  // namespace Tarvos::System
