#pragma once

#include <string>

#include "tarvos/system/StreamServer.h"

namespace Tarvos::System {

// The server end of a named pipe, made by SystemFactory::CreateNamedPipeServer. Each accepted
// connection is a stream whose GetBindingInfo(BindingKind::NamedPipe) names the pipe and, on the
// remote side, the client's user. Safe for concurrent use.
class TARVOS_API NamedPipeServer : public virtual StreamServer {
public:
    // The pipe name as given at creation.
    virtual std::string GetPipeName() const = 0;
};

}  // namespace Tarvos::System
