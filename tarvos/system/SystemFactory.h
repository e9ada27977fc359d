#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"
#include "tarvos/service/Config.h"
#include "tarvos/system/Backtrace.h"
#include "tarvos/system/Condition.h"
#include "tarvos/system/FileReader.h"
#include "tarvos/system/FileWriter.h"
#include "tarvos/system/Impersonator.h"
#include "tarvos/system/Mutex.h"
#include "tarvos/system/RWLock.h"
#include "tarvos/system/SharedLibrary.h"
#include "tarvos/system/ThreadPool.h"

namespace Tarvos::System {

class File;
class FileHandle;
class RolloverWriter;
class Stream;
class TCPClientSocket;
class TCPServerSocket;
class NamedPipeClientStream;
class NamedPipeServer;
class SysCommand;

// The process-wide factory of every platform object. Each operation delivers a new object into
// its out-reference and throws PosixSystemException (with the operation and path as context)
// when the platform refuses.
//
// Safe for concurrent use; lives for the whole process.
class TARVOS_API SystemFactory : public virtual Object {
public:
    virtual void CreateMutex(Ref<Mutex>& mutex) = 0;
    virtual void CreateRWLock(Ref<RWLock>& lock) = 0;
    virtual void CreateCondition(Ref<Condition>& condition) = 0;
    // A thread pool configured from `config` (may be null: defaults apply).
    virtual void CreateThreadPool(const Ref<Service::Config::View>& config,
                                  Ref<ThreadPool>& pool) = 0;
    // A writer on standard output.
    virtual void CreateConsoleWriter(Ref<Writer>& writer) = 0;
    // A writer on `path`: truncated, or appended to when `append` is true; created when missing.
    virtual void CreateFileWriter(const std::string& path, bool append,
                                  Ref<FileWriter>& writer) = 0;
    // A reader on an existing file.
    virtual void CreateFileReader(const std::string& path, Ref<FileReader>& reader) = 0;
    // A writer over `fileCount` files "<directory>/<baseName>-<n>.log" of at most `maxFileSize`
    // bytes each, with the index file "<directory>/<baseName>-index".
    virtual void CreateRolloverWriter(const std::string& directory, const std::string& baseName,
                                      int64_t maxFileSize, int32_t fileCount,
                                      Ref<RolloverWriter>& writer) = 0;
    // The same with log headers, a section count and the "<directory>/<baseName>.log" link to
    // the current file.
    virtual void CreateRolloverLogWriter(const std::string& directory, const std::string& baseName,
                                         int64_t maxFileSize, int32_t fileCount,
                                         Ref<RolloverWriter>& writer) = 0;
    // The calling thread's stack.
    virtual void CreateBacktrace(Ref<Backtrace>& backtrace) = 0;
    // A File naming `path` (nothing is touched on disk). An empty path, or one holding a NUL
    // byte, throws InvalidArgumentException.
    virtual void CreateFile(const std::string& path, Ref<File>& file) = 0;
    // Creates a new empty file, mode 0600, in $TMPDIR (else /tmp) and delivers a File naming it;
    // the file is removed when the last reference to that File goes. Throws FileIOException
    // "No temp directory is accessible" when neither directory is usable.
    virtual void CreateTempFile(Ref<File>& file) = 0;
    // A closed FileHandle on `path`; FileHandle::Open opens it. Path rules as CreateFile.
    virtual void CreateFileHandle(const std::string& path, Ref<FileHandle>& handle) = 0;
    // Loads the shared library at `path` with every reference resolved; throws SystemException
    // with the path and the loader's text when it cannot be loaded.
    virtual void CreateSharedLibrary(const std::string& path, Ref<SharedLibrary>& library) = 0;
    // The platform's impersonator, which switches the calling thread's user identity.
    virtual void CreateImpersonator(Ref<Impersonator>& impersonator) = 0;
    // A child-process command, not yet started (SysCommand.h).
    virtual void CreateSysCommand(Ref<SysCommand>& command) = 0;
    // An unconnected TCP client socket (a fresh IPv4 socket) bound to the calling thread's pool;
    // WrongThreadException off the pool.
    virtual void CreateTCPClientSocket(Ref<TCPClientSocket>& socket) = 0;
    // A stream over `socket`, a connected stream socket handed over by its owner (TCP, or a
    // Unix-domain socket such as one end of a socketpair), bound to the calling thread's pool.
    // The stream works on its own duplicate of the socket, in non-blocking mode. On success
    // `socket` has been closed and belongs to nobody; on failure it is left open, unchanged, and
    // still the caller's. Throws PosixSystemException: EBADF for a negative or closed
    // descriptor, ENOTSOCK when it is not a stream socket, EAFNOSUPPORT for a family other than
    // AF_INET and AF_UNIX, ENOTCONN when it is not connected (a listening socket among them);
    // WrongThreadException off the pool.
    virtual void CreateTCPStreamFromSocket(int socket, Ref<Stream>& stream) = 0;
    // A TCP server socket that is not listening yet; it binds to the pool of the thread that
    // calls Listen.
    virtual void CreateTCPServerSocket(Ref<TCPServerSocket>& server) = 0;
    // An unconnected client end of the pipe `pipeName` ("\\.\pipe\NAME" or NAME); Connect binds
    // it to the calling thread's pool. InvalidArgumentException for a name that is not a single
    // path component.
    virtual void CreateNamedPipeClientStream(const std::string& pipeName,
                                             Ref<NamedPipeClientStream>& stream) = 0;
    // A server listening on the pipe `pipeName`, bound to the calling thread's pool, that queues
    // up to `backlog` connections not yet accepted (0: the system's default); clients beyond
    // find the pipe busy. Creates the pipe directory (mode 0700) when missing; EADDRINUSE when
    // another live server listens on the name.
    virtual void CreateNamedPipeServer(const std::string& pipeName, int32_t backlog,
                                       Ref<NamedPipeServer>& server) = 0;
};

// The factory singleton, made on first use.
TARVOS_API SystemFactory& GetSystemFactory();

// Shorthands for the lock objects that most classes make for themselves.
inline Ref<Mutex> NewMutex() {
    Ref<Mutex> mutex;
    GetSystemFactory().CreateMutex(mutex);
    return mutex;
}

inline Ref<Condition> NewCondition() {
    Ref<Condition> condition;
    GetSystemFactory().CreateCondition(condition);
    return condition;
}

inline Ref<RWLock> NewRWLock() {
    Ref<RWLock> lock;
    GetSystemFactory().CreateRWLock(lock);
    return lock;
}

}  // namespace Tarvos::System
