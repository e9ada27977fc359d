#pragma once

#include <string>

#include "tarvos/service/Logger.h"
#include "tarvos/system/BindingInfo.h"
#include "tarvos/system/NamedPipeClientStream.h"
#include "tarvos/system/internal/NamedPipeBindingInfoImpl.h"
#include "tarvos/system/internal/StreamSocket.h"

namespace Tarvos::System {

// The socket file behind a pipe name: "\\.\pipe\NAME" (or NAME) -> "<pipe directory>/NAME". The
// directory is $TARVOS_PIPE_DIR, else /run/tarvos for root, else $XDG_RUNTIME_DIR/tarvos, else
// /tmp/tarvos-<uid>. InvalidArgumentException when NAME is empty, ".", "..", holds a "/" or a
// NUL byte, or makes a path too long for a socket address.
TARVOS_INTERNAL std::string PipeSocketPath(const std::string& pipeName);
// Creates the pipe directory (mode 0700) when missing; PosixSystemException on failure.
TARVOS_INTERNAL void EnsurePipeDirectory();
// The "NamedPipe" logger below the default logger; null when there is none.
TARVOS_INTERNAL Ref<Service::Logger> GetNamedPipeLogger();

// A connected pipe: a Unix-domain stream socket. Safe for concurrent use.
class TARVOS_INTERNAL NamedPipeStreamPosix : public StreamSocket {
public:
    // Takes the connected socket `fd` (-1: none yet) of pipe `pipeName`; `serverSide` tells
    // whether this is the server's end (its bindings then name and can impersonate the client).
    NamedPipeStreamPosix(std::string pipeName, int fd, bool serverSide);
    ~NamedPipeStreamPosix() override;

    void GetBindingInfo(BindingKind kind, Ref<BindingInfo>& local,
                        Ref<BindingInfo>& remote) override;

protected:
    // Registers `fd` and sets the bindings. Lock held.
    void AttachPipeLocked(int fd, bool serverSide);

    const std::string _pipeName;

private:
    // Guarded by the stream's lock.
    Ref<NamedPipeBindingInfoImpl> _local;
    Ref<NamedPipeBindingInfoImpl> _remote;
};

// The client end of a pipe. Safe for concurrent use.
class TARVOS_INTERNAL NamedPipeClientStreamPosix final : public NamedPipeClientStream,
                                                         public NamedPipeStreamPosix {
public:
    explicit NamedPipeClientStreamPosix(std::string pipeName);
    ~NamedPipeClientStreamPosix() override;

    void Connect(bool waitIfBusy) override;

private:
    const std::string _path;
};

}  // namespace Tarvos::System
