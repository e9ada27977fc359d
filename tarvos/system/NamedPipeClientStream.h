#pragma once

#include "tarvos/system/Stream.h"

namespace Tarvos::System {

// The client end of a named pipe, made by SystemFactory::CreateNamedPipeClientStream; once
// connected it is the stream. Safe for concurrent use.
class TARVOS_API NamedPipeClientStream : public virtual Stream {
public:
    // Connects to the pipe's server and binds the stream to the calling thread's pool
    // (WrongThreadException off the pool). When the server's queue is full the pipe is busy:
    // without `waitIfBusy` that throws PosixSystemException(EAGAIN) at once; with it, the wait is
    // logged and the connect retried for up to 30 seconds. AlreadyInitializedException when
    // already connected; PosixSystemException (ENOENT, ECONNREFUSED) when nobody serves the pipe.
    virtual void Connect(bool waitIfBusy) = 0;
};

}  // namespace Tarvos::System
