#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Object.h"

namespace Tarvos::System {

// A random-access handle on one file, made closed by SystemFactory::CreateFileHandle for a path
// and opened with Open. Failures of the file system arrive as typed exceptions:
//   - FileIONotFoundException: the file (or a directory on its path) does not exist;
//   - FileIOAlreadyExistsException: kCreateNew found the file already there;
//   - FileIOPermissionDeniedException: the file system refused access (EACCES, EPERM, EROFS);
//   - FileIOLockFailedException: another handle holds a conflicting lock;
//   - PosixSystemException: any other platform failure, with errno, the operation and the path.
// The first four carry the path at the end of their message. Any operation but Open, Close,
// IsOpen and GetPath on a closed handle throws NotInitializedException.
//
// Dropping the last reference closes an open handle (and so releases its lock).
//
// Externally synchronised: one thread at a time per handle.
class TARVOS_API FileHandle : public virtual Object {
public:
    // Open modes. The file is created (when a mode creates it) with mode 0666 less the umask.
    enum OpenMode : int32_t {
        kOpenExisting = 0,      // the file must exist
        kCreateNew = 1,         // the file must not exist; it is created
        kCreateAlways = 2,      // created when missing, truncated to 0 bytes when present
        kOpenAlways = 3,        // created when missing, contents kept when present
        kTruncateExisting = 4,  // the file must exist; it is truncated to 0 bytes
    };

    // Access flags, combined with |. At least one of kRead and kWrite is required, and kWrite
    // for kCreateAlways and kTruncateExisting. The lock flags take an advisory whole-file lock
    // (flock) that conflicts between handles, also within one process; a conflict makes Open
    // fail at once with FileIOLockFailedException, and a truncating mode then leaves the file
    // untouched. The lock lasts until Close.
    enum Access : uint32_t {
        kRead = 0x1,
        kWrite = 0x2,
        kLockShared = 0x4,     // many shared holders, no exclusive one
        kLockExclusive = 0x8,  // one holder only
    };

    // Seek origins.
    enum Origin : int32_t {
        kBegin = 0,
        kCurrent = 1,
        kEnd = 2,
    };

    // Opens the file; the position starts at 0. A mode outside 0-4, access flags outside the
    // ones above, both lock flags, or a combination ruled out above throw
    // InvalidArgumentException; an open handle throws AlreadyInitializedException.
    virtual void Open(int32_t mode, uint32_t access) = 0;
    // Closes the handle and releases its lock; a closed handle stays closed (no exception).
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Reads up to `length` bytes at the position and advances it; returns the bytes read, 0 at
    // the end of the file (or for a zero length). A negative length throws
    // InvalidArgumentException.
    virtual int32_t Read(char* buffer, int32_t length) = 0;
    // Writes all `length` bytes at the position (resuming short writes) and advances it;
    // returns `length`. A negative length throws InvalidArgumentException.
    virtual int32_t Write(const char* buffer, int32_t length) = 0;
    // Makes written data durable (fsync). Returns false when the file system cannot (for
    // example a full disk, or a file that does not support it).
    virtual bool Flush() = 0;
    // Moves the position to `offset` from `origin` and returns the new position; positions past
    // the end are allowed (a later write leaves a hole). An origin outside 0-2 throws
    // InvalidArgumentException; a refused move (a negative result) throws PosixSystemException.
    virtual int64_t Seek(int64_t offset, int32_t origin) = 0;
    // The current size of the file in bytes; failure throws PosixSystemException.
    virtual int64_t GetSize() = 0;
    // Truncates or extends (with zero bytes) the file to `size` bytes; the position does not
    // move. Returns false when the file system refuses (too large, no space, no write access).
    // A negative size throws InvalidArgumentException.
    virtual bool SetSize(int64_t size) = 0;

    // The path given at creation.
    virtual const std::string& GetPath() const = 0;
};

}  // namespace Tarvos::System
