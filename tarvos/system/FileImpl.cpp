#include "tarvos/system/internal/FileImpl.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

#include "tarvos/core/Exception.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactoryImpl.h"
#include "tarvos/system/internal/FileHandleImpl.h"

namespace Tarvos::System {

namespace {

// Whether a failed lookup means "nothing there" rather than a fault of the environment.
bool IsAbsent(int error) {
    return error == ENOENT || error == ENOTDIR;
}

// stat(2) of `path`; returns false with `error` set when it fails.
bool StatPath(const std::string& path, struct stat& status, int& error) {
    if (::stat(path.c_str(), &status) == 0) {
        return true;
    }
    error = errno;
    return false;
}

struct stat StatOrThrow(const std::string& path) {
    struct stat status;
    int error = 0;
    if (!StatPath(path, status, error)) {
        FileIo::ThrowForErrno(error, "stat", path);
    }
    return status;
}

int64_t ToMicroseconds(const struct timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000 + time.tv_nsec / 1000;
}

// "a/b//" -> "a/b"; a path of slashes only becomes "/".
std::string WithoutTrailingSlashes(const std::string& path) {
    const size_t end = path.find_last_not_of('/');
    return end == std::string::npos ? std::string("/") : path.substr(0, end + 1);
}

std::string ParentOf(const std::string& path) {
    const std::string trimmed = WithoutTrailingSlashes(path);
    if (trimmed == "/") {
        return trimmed;
    }
    const size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return WithoutTrailingSlashes(trimmed.substr(0, slash + 1));
}

// Syncs a directory so that a rename or creation in it is durable. Best effort: the change has
// already happened, and some file systems refuse to sync directories.
void SyncDirectory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Closes a descriptor when the scope ends, unless released.
class DescriptorGuard {
public:
    explicit DescriptorGuard(int fd) : _fd(fd) {}
    ~DescriptorGuard() {
        if (_fd >= 0) {
            ::close(_fd);
        }
    }
    DescriptorGuard(const DescriptorGuard&) = delete;
    DescriptorGuard& operator=(const DescriptorGuard&) = delete;
    int Get() const { return _fd; }
    // Closes now and reports close(2)'s errno (0 on success).
    int Close() {
        const int fd = _fd;
        _fd = -1;
        return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
    }

private:
    int _fd;
};

// Writes all of `data` to `fd`; returns 0 or the errno of the failed write.
int WriteAll(int fd, const char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t result = ::write(fd, data + done, length - done);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        done += static_cast<size_t>(result);
    }
    return 0;
}

// Moves `from` to `to`; without `overwrite` an existing `to` stays and EEXIST is returned.
// Returns 0 or an errno.
int MoveIntoPlace(const std::string& from, const std::string& to, bool overwrite) {
    if (overwrite) {
        return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    }
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // The file system cannot rename without replacing; link(2) refuses an existing name just
    // as atomically.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return errno;
    }
    ::unlink(from.c_str());
    return 0;
}

}  // namespace

std::vector<std::string> TempDirectoryCandidates() {
    std::vector<std::string> candidates;
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir != nullptr && *tmpdir != '\0') {
        candidates.emplace_back(tmpdir);
    }
    candidates.emplace_back("/tmp");
    return candidates;
}

std::string FindTempDirectory(const std::vector<std::string>& candidates) {
    for (const std::string& candidate : candidates) {
        struct stat status;
        int error = 0;
        if (!candidate.empty() && StatPath(candidate, status, error) && S_ISDIR(status.st_mode) &&
            ::access(candidate.c_str(), W_OK | X_OK) == 0) {
            return WithoutTrailingSlashes(candidate);
        }
    }
    throw FileIOException("No temp directory is accessible");
}

FileImpl::FileImpl(const std::string& path, bool temporary) : _path(path), _temporary(temporary) {
    FileIo::ValidatePath(path);
}

FileImpl::~FileImpl() {
    if (_temporary) {
        ::unlink(_path.c_str());
    }
}

bool FileImpl::Exists() const {
    struct stat status;
    int error = 0;
    if (StatPath(_path, status, error)) {
        return true;
    }
    if (!IsAbsent(error)) {
        FileIo::ThrowForErrno(error, "stat", _path);
    }
    return false;
}

bool FileImpl::IsDirectory() const {
    struct stat status;
    int error = 0;
    if (StatPath(_path, status, error)) {
        return S_ISDIR(status.st_mode);
    }
    if (!IsAbsent(error)) {
        FileIo::ThrowForErrno(error, "stat", _path);
    }
    return false;
}

bool FileImpl::IsRegularFile() const {
    struct stat status;
    int error = 0;
    if (StatPath(_path, status, error)) {
        return S_ISREG(status.st_mode);
    }
    if (!IsAbsent(error)) {
        FileIo::ThrowForErrno(error, "stat", _path);
    }
    return false;
}

int64_t FileImpl::GetSize() const {
    return static_cast<int64_t>(StatOrThrow(_path).st_size);
}

int64_t FileImpl::GetModificationTime() const {
    return ToMicroseconds(StatOrThrow(_path).st_mtim);
}

int64_t FileImpl::GetAccessTime() const {
    return ToMicroseconds(StatOrThrow(_path).st_atim);
}

uint32_t FileImpl::GetPermissions() const {
    return static_cast<uint32_t>(StatOrThrow(_path).st_mode & 07777);
}

void FileImpl::SetPermissions(uint32_t mode) const {
    if (mode > 07777) {
        throw InvalidArgumentException("permission bits " + std::to_string(mode));
    }
    if (::chmod(_path.c_str(), static_cast<mode_t>(mode)) != 0) {
        FileIo::ThrowForErrno(errno, "chmod", _path);
    }
}

bool FileImpl::CreateDirectory() const {
    if (::mkdir(_path.c_str(), 0777) == 0) {
        return true;
    }
    const int error = errno;
    if (error == EEXIST) {
        if (IsDirectory()) {
            return false;
        }
        throw FileIOAlreadyExistsException(_path);
    }
    FileIo::ThrowForErrno(error, "mkdir", _path);
}

bool FileImpl::CreateDirectories() const {
    // Creates each prefix in turn; mkdir of an existing directory answers EEXIST, which also
    // covers a racing creator.
    std::string prefix = _path[0] == '/' ? "/" : "";
    bool created = false;
    size_t start = 0;
    while (start < _path.size()) {
        size_t end = _path.find('/', start);
        if (end == std::string::npos) {
            end = _path.size();
        }
        const std::string component = _path.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".") {
            continue;
        }
        if (!prefix.empty() && prefix.back() != '/') {
            prefix += '/';
        }
        prefix += component;
        if (::mkdir(prefix.c_str(), 0777) == 0) {
            created = true;
            continue;
        }
        const int error = errno;
        if (error != EEXIST) {
            FileIo::ThrowForErrno(error, "mkdir", prefix);
        }
        struct stat status;
        int statError = 0;
        if (!StatPath(prefix, status, statError) || !S_ISDIR(status.st_mode)) {
            throw FileIOAlreadyExistsException(prefix);
        }
        created = false;
    }
    return created;
}

void FileImpl::List(std::vector<std::string>& names) const {
    names.clear();
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(_path.c_str()), ::closedir);
    if (!directory) {
        FileIo::ThrowForErrno(errno, "opendir", _path);
    }
    while (true) {
        errno = 0;
        const dirent* entry = ::readdir(directory.get());
        if (entry == nullptr) {
            if (errno != 0) {
                FileIo::ThrowForErrno(errno, "readdir", _path);
            }
            break;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
}

bool FileImpl::Remove() const {
    if (::unlink(_path.c_str()) == 0) {
        return true;
    }
    int error = errno;
    if (error == EISDIR) {
        if (::rmdir(_path.c_str()) == 0) {
            return true;
        }
        error = errno;
    }
    if (IsAbsent(error)) {
        return false;
    }
    FileIo::ThrowForErrno(error, "remove", _path);
}

int64_t FileImpl::RemoveAll() const {
    if (GetAbsolutePath() == "/") {
        throw InvalidArgumentException("refusing to remove the root directory");
    }
    std::error_code failure;
    const std::uintmax_t removed = std::filesystem::remove_all(_path, failure);
    if (failure) {
        FileIo::ThrowForErrno(failure.value(), "remove", _path);
    }
    return static_cast<int64_t>(removed);
}

void FileImpl::Rename(const std::string& target) const {
    FileIo::ValidatePath(target);
    struct stat status;
    if (::lstat(_path.c_str(), &status) != 0) {
        FileIo::ThrowForErrno(errno, "rename", _path);
    }
    if (S_ISREG(status.st_mode)) {
        // The data must be on disk before the new name is, or a crash could leave the name
        // pointing at an empty file.
        const int fd = ::open(_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
    if (::rename(_path.c_str(), target.c_str()) != 0) {
        // The source was there a moment ago, so the failure is about the target.
        FileIo::ThrowForErrno(errno, "rename " + _path + " to", target);
    }
    SyncDirectory(ParentOf(target));
    if (ParentOf(target) != ParentOf(_path)) {
        SyncDirectory(ParentOf(_path));
    }
}

void FileImpl::CopyTo(const std::string& target, bool overwrite) const {
    FileIo::ValidatePath(target);
    DescriptorGuard source(::open(_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (source.Get() < 0) {
        FileIo::ThrowForErrno(errno, "open", _path);
    }
    struct stat status;
    if (::fstat(source.Get(), &status) != 0) {
        FileIo::ThrowForErrno(errno, "stat", _path);
    }
    if (!S_ISREG(status.st_mode)) {
        ThrowPosixError(S_ISDIR(status.st_mode) ? EISDIR : EINVAL, "copy " + _path);
    }
    struct stat existing;
    if (!overwrite && ::lstat(target.c_str(), &existing) == 0) {
        throw FileIOAlreadyExistsException(target);
    }

    std::string temporary = WithoutTrailingSlashes(target) + ".XXXXXX.tmp";
    DescriptorGuard copy(::mkstemps(temporary.data(), 4));
    if (copy.Get() < 0) {
        FileIo::ThrowForErrno(errno, "create", WithoutTrailingSlashes(target));
    }
    // From here on a failure removes the half-made copy.
    struct TemporaryRemover {
        const std::string& path;
        bool armed = true;
        ~TemporaryRemover() {
            if (armed) {
                ::unlink(path.c_str());
            }
        }
    } remover{temporary};

    char buffer[65536];
    while (true) {
        const ssize_t got = ::read(source.Get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            FileIo::ThrowForErrno(errno, "read", _path);
        }
        if (got == 0) {
            break;
        }
        if (const int error = WriteAll(copy.Get(), buffer, static_cast<size_t>(got)); error != 0) {
            FileIo::ThrowForErrno(error, "write", temporary);
        }
    }
    if (::fchmod(copy.Get(), status.st_mode & 07777) != 0) {
        FileIo::ThrowForErrno(errno, "chmod", temporary);
    }
    if (::fsync(copy.Get()) != 0) {
        FileIo::ThrowForErrno(errno, "fsync", temporary);
    }
    if (const int error = copy.Close(); error != 0) {
        FileIo::ThrowForErrno(error, "close", temporary);
    }
    if (const int error = MoveIntoPlace(temporary, target, overwrite); error != 0) {
        if (error == EEXIST) {
            throw FileIOAlreadyExistsException(target);
        }
        FileIo::ThrowForErrno(error, "rename " + temporary + " to", target);
    }
    remover.armed = false;
    SyncDirectory(ParentOf(target));
}

std::string FileImpl::GetName() const {
    const std::string trimmed = WithoutTrailingSlashes(_path);
    if (trimmed == "/") {
        return trimmed;
    }
    const size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string FileImpl::GetParent() const {
    return ParentOf(_path);
}

std::string FileImpl::GetExtension() const {
    const std::string name = GetName();
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || name == "..") {
        return "";
    }
    return name.substr(dot);
}

std::string FileImpl::GetAbsolutePath() const {
    std::error_code failure;
    const std::filesystem::path absolute = std::filesystem::absolute(_path, failure);
    if (failure) {
        FileIo::ThrowForErrno(failure.value(), "getcwd", _path);
    }
    return WithoutTrailingSlashes(absolute.lexically_normal().string());
}

std::string FileImpl::GetCanonicalPath() const {
    const std::unique_ptr<char, void (*)(void*)> resolved(::realpath(_path.c_str(), nullptr),
                                                          std::free);
    if (!resolved) {
        FileIo::ThrowForErrno(errno, "realpath", _path);
    }
    return resolved.get();
}

void SystemFactoryImpl::CreateFile(const std::string& path, Ref<File>& file) {
    file = Ref<File>(new FileImpl(path, false));
}

void SystemFactoryImpl::CreateTempFile(Ref<File>& file) {
    std::string path = FindTempDirectory(TempDirectoryCandidates()) + "/tarvos-XXXXXX";
    // mkstemp creates the file with mode 0600 and a name nobody else holds.
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
        FileIo::ThrowForErrno(errno, "mkstemp", path);
    }
    ::close(fd);
    file = Ref<File>(new FileImpl(path, true));
}

}  // namespace Tarvos::System
