// FileHandleImpl and the lower-level file layer beneath it.
//
// The layer keeps the platform out of the handle: each function makes at most a few system calls
// on one descriptor and reports a result code, never an exception, so that the handle maps every
// failure to its exception in one place (FileIo::CheckResult) and the codes stay testable.
//
// Invariants:
//   1. OpenFile::fd >= 0 exactly while the file is open; a failed Open leaves no descriptor.
//   2. A lock is taken before any truncation, so a truncating Open that loses the lock race
//      leaves the other holder's data intact.
//   3. errno is read straight after the failing call into OpenFile::lastError (or passed on as
//      a value), before anything that could change it runs.

#include "tarvos/system/internal/FileHandleImpl.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tarvos/core/Exception.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactoryImpl.h"

namespace Tarvos::System {

namespace FileIo {

namespace {

constexpr uint32_t kAllAccess =
    FileHandle::kRead | FileHandle::kWrite | FileHandle::kLockShared | FileHandle::kLockExclusive;

int32_t Fail(OpenFile& file, int error) {
    file.lastError = error;
    return ResultFromErrno(error);
}

}  // namespace

int32_t ResultFromErrno(int error) {
    switch (error) {
        case 0:
            return kOk;
        case ENOENT:
            return kNotFound;
        case EEXIST:
            return kAlreadyExists;
        case EACCES:
        case EPERM:
        case EROFS:
            return kPermissionDenied;
        case EWOULDBLOCK:  // only a refused non-blocking flock reports it on files
            return kLockFailed;
        default:
            return kPlatformError;
    }
}

int32_t Open(OpenFile& file, const std::string& path, int32_t mode, uint32_t access) {
    if (file.fd >= 0 || (access & ~kAllAccess) != 0) {
        return kInvalid;
    }
    const bool read = (access & FileHandle::kRead) != 0;
    const bool write = (access & FileHandle::kWrite) != 0;
    int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    bool truncate = false;
    switch (mode) {
        case FileHandle::kOpenExisting:
            break;
        case FileHandle::kCreateNew:
            flags |= O_CREAT | O_EXCL;
            break;
        case FileHandle::kCreateAlways:
            flags |= O_CREAT;
            truncate = true;
            break;
        case FileHandle::kOpenAlways:
            flags |= O_CREAT;
            break;
        case FileHandle::kTruncateExisting:
            truncate = true;
            break;
        default:
            return kInvalid;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return Fail(file, errno);
    }
    const int lock = (access & FileHandle::kLockExclusive) != 0 ? LOCK_EX
                     : (access & FileHandle::kLockShared) != 0  ? LOCK_SH
                                                                : 0;
    if (lock != 0) {
        int result;
        do {
            result = ::flock(fd, lock | LOCK_NB);
        } while (result != 0 && errno == EINTR);
        if (result != 0) {
            const int error = errno;
            ::close(fd);
            return Fail(file, error);
        }
    }
    if (truncate && ::ftruncate(fd, 0) != 0) {
        const int error = errno;
        ::close(fd);
        return Fail(file, error);
    }
    file.fd = fd;
    file.lastError = 0;
    return kOk;
}

int32_t Close(OpenFile& file) {
    if (file.fd < 0) {
        return kOk;
    }
    const int fd = file.fd;
    file.fd = -1;
    // Linux releases the descriptor (and the flock) even when close reports an error, so it is
    // never retried; EINTR means only that the close was interrupted after the release.
    if (::close(fd) != 0 && errno != EINTR) {
        return Fail(file, errno);
    }
    return kOk;
}

int32_t Read(OpenFile& file, char* buffer, int32_t length, int32_t& done) {
    done = 0;
    if (length <= 0) {
        return length == 0 ? kOk : kInvalid;
    }
    ssize_t result;
    do {
        result = ::read(file.fd, buffer, static_cast<size_t>(length));
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        return Fail(file, errno);
    }
    done = static_cast<int32_t>(result);
    return result == 0 ? kEndOfFile : kOk;
}

int32_t Write(OpenFile& file, const char* buffer, int32_t length, int32_t& done) {
    done = 0;
    if (length < 0) {
        return kInvalid;
    }
    while (done < length) {
        const ssize_t result = ::write(file.fd, buffer + done, static_cast<size_t>(length - done));
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail(file, errno);
        }
        done += static_cast<int32_t>(result);
    }
    return kOk;
}

bool Flush(OpenFile& file) {
    if (::fsync(file.fd) != 0) {
        file.lastError = errno;
        return false;
    }
    return true;
}

int64_t Seek(OpenFile& file, int64_t offset, int32_t origin) {
    int whence;
    switch (origin) {
        case FileHandle::kBegin:
            whence = SEEK_SET;
            break;
        case FileHandle::kCurrent:
            whence = SEEK_CUR;
            break;
        case FileHandle::kEnd:
            whence = SEEK_END;
            break;
        default:
            file.lastError = EINVAL;
            return -1;
    }
    const off_t position = ::lseek(file.fd, static_cast<off_t>(offset), whence);
    if (position < 0) {
        file.lastError = errno;
        return -1;
    }
    return static_cast<int64_t>(position);
}

int64_t GetSize(OpenFile& file) {
    struct stat status;
    if (::fstat(file.fd, &status) != 0) {
        file.lastError = errno;
        return -1;
    }
    return static_cast<int64_t>(status.st_size);
}

bool SetSize(OpenFile& file, int64_t size) {
    int result;
    do {
        result = ::ftruncate(file.fd, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        file.lastError = errno;
        return false;
    }
    return true;
}

void CheckResult(int32_t result, int error, std::string_view operation, const std::string& path,
                 bool endOfFileIsSuccess) {
    switch (result) {
        case kOk:
            return;
        case kEndOfFile:
            if (endOfFileIsSuccess) {
                return;
            }
            break;
        case kPlatformError:
            ThrowPosixError(error, std::string(operation) + " " + path);
        case kAlreadyExists:
            throw FileIOAlreadyExistsException(path);
        case kLockFailed:
            throw FileIOLockFailedException(path);
        case kNotFound:
            throw FileIONotFoundException(path);
        case kPermissionDenied:
            throw FileIOPermissionDeniedException(path);
        default:
            break;
    }
    throw FileIOException("Unkown file io error");
}

void ThrowForErrno(int error, std::string_view operation, const std::string& path) {
    CheckResult(ResultFromErrno(error), error, operation, path);
    // errno 0 maps to success; a caller that reached here saw a failure all the same.
    ThrowPosixError(error, std::string(operation) + " " + path);
}

void ValidatePath(const std::string& path) {
    if (path.empty()) {
        throw InvalidArgumentException("empty path");
    }
    if (path.find('\0') != std::string::npos) {
        throw InvalidArgumentException("path holds a NUL byte");
    }
}

}  // namespace FileIo

FileHandleImpl::FileHandleImpl(const std::string& path) : _path(path) {
    FileIo::ValidatePath(path);
}

FileHandleImpl::~FileHandleImpl() {
    FileIo::Close(_file);
}

void FileHandleImpl::RequireOpen() const {
    if (_file.fd < 0) {
        throw NotInitializedException();
    }
}

void FileHandleImpl::Open(int32_t mode, uint32_t access) {
    if (_file.fd >= 0) {
        throw AlreadyInitializedException();
    }
    if (mode < kOpenExisting || mode > kTruncateExisting) {
        throw InvalidArgumentException("open mode " + std::to_string(mode));
    }
    const uint32_t all = kRead | kWrite | kLockShared | kLockExclusive;
    const bool badFlags =
        (access & ~all) != 0 || (access & (kRead | kWrite)) == 0 ||
        (access & (kLockShared | kLockExclusive)) == (kLockShared | kLockExclusive);
    const bool truncates = mode == kCreateAlways || mode == kTruncateExisting;
    if (badFlags || (truncates && (access & kWrite) == 0)) {
        throw InvalidArgumentException("access flags " + std::to_string(access));
    }
    const int32_t result = FileIo::Open(_file, _path, mode, access);
    FileIo::CheckResult(result, _file.lastError, "open", _path, true);
}

void FileHandleImpl::Close() {
    const int32_t result = FileIo::Close(_file);
    FileIo::CheckResult(result, _file.lastError, "close", _path);
}

int32_t FileHandleImpl::Read(char* buffer, int32_t length) {
    RequireOpen();
    if (length < 0) {
        throw InvalidArgumentException("negative length");
    }
    int32_t done = 0;
    const int32_t result = FileIo::Read(_file, buffer, length, done);
    FileIo::CheckResult(result, _file.lastError, "read", _path, true);
    return done;
}

int32_t FileHandleImpl::Write(const char* buffer, int32_t length) {
    RequireOpen();
    if (length < 0) {
        throw InvalidArgumentException("negative length");
    }
    int32_t done = 0;
    const int32_t result = FileIo::Write(_file, buffer, length, done);
    FileIo::CheckResult(result, _file.lastError, "write", _path);
    return done;
}

bool FileHandleImpl::Flush() {
    RequireOpen();
    return FileIo::Flush(_file);
}

int64_t FileHandleImpl::Seek(int64_t offset, int32_t origin) {
    RequireOpen();
    if (origin < kBegin || origin > kEnd) {
        throw InvalidArgumentException("seek origin " + std::to_string(origin));
    }
    const int64_t position = FileIo::Seek(_file, offset, origin);
    if (position == -1) {
        ThrowPosixError(_file.lastError, "seek " + _path);
    }
    return position;
}

int64_t FileHandleImpl::GetSize() {
    RequireOpen();
    const int64_t size = FileIo::GetSize(_file);
    if (size == -1) {
        ThrowPosixError(_file.lastError, "stat " + _path);
    }
    return size;
}

bool FileHandleImpl::SetSize(int64_t size) {
    RequireOpen();
    if (size < 0) {
        throw InvalidArgumentException("negative size");
    }
    return FileIo::SetSize(_file, size);
}

void SystemFactoryImpl::CreateFileHandle(const std::string& path, Ref<FileHandle>& handle) {
    handle = Ref<FileHandle>(new FileHandleImpl(path));
}

}  // namespace Tarvos::System
