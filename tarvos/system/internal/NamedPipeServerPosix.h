#pragma once

#include <sys/types.h>

#include <string>

#include "tarvos/system/NamedPipeServer.h"
#include "tarvos/system/internal/StreamListener.h"

namespace Tarvos::System {

// A Unix-domain listening socket at the pipe's path. It removes its socket file when closed,
// unless another server has taken the path since. Safe for concurrent use.
class TARVOS_INTERNAL NamedPipeServerPosix final : public NamedPipeServer, public StreamListener {
public:
    // Binds and listens at once (see SystemFactory::CreateNamedPipeServer).
    NamedPipeServerPosix(std::string pipeName, int32_t backlog);
    ~NamedPipeServerPosix() override;

    std::string GetPipeName() const override { return _pipeName; }

protected:
    void WrapAccepted(int fd, Ref<Stream>& stream) override;
    void OnClosingLocked(int fd) override;
    Ref<Service::Logger> GetListenerLogger() override;

private:
    const std::string _pipeName;
    const std::string _path;
    ino_t _inode = 0;  // of the socket file this server made; fixed after construction
};

}  // namespace Tarvos::System
