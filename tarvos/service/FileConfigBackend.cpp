// The file storage of a configuration.
//
// States: idle (no reader, no writer), reading (_reader set: BeginRead .. EndAccess), writing
// (_file and _writer set: BeginWrite .. EndWrite or EndAccess).
//
// Invariants:
//  1. At most one of reading and writing holds; BeginRead and BeginWrite refuse to start in any
//     state but idle.
//  2. "<path>.tmp" exists because of this backend only while writing, or for the moment between
//     a failed step and its removal inside EndWrite. Every way out of writing that does not
//     commit (EndWrite failing, EndAccess, destruction) removes it.
//  3. The path is replaced only by rename(2) of a temporary file that was completely written,
//     fsync'ed and closed without error; nothing ever writes to the path itself.

#include "tarvos/service/FileConfigBackend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "tarvos/core/Exception.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactory.h"

namespace Tarvos::Service {

namespace {

constexpr char kTemporarySuffix[] = ".tmp";
// The file writer issues one write(2) per Write; the formats write many small pieces.
constexpr size_t kWriteBufferSize = 64 * 1024;

// Collects small writes and hands them to the target in blocks of kWriteBufferSize bytes.
// Externally synchronised.
class BlockWriter final : public Writer, public ObjectImpl {
public:
    explicit BlockWriter(const Ref<Writer>& target) : _target(target) {
        _buffer.reserve(kWriteBufferSize);
    }

    void Write(const char* data, int32_t length) override {
        if (length < 0 || (data == nullptr && length > 0)) {
            throw InvalidArgumentException("BlockWriter::Write");
        }
        const auto size = static_cast<size_t>(length);
        if (_buffer.size() + size > kWriteBufferSize) {
            Drain();
            if (size >= kWriteBufferSize) {
                _target->Write(data, length);
                return;
            }
        }
        _buffer.append(data, size);
    }

    void Flush() override {
        Drain();
        _target->Flush();
    }

private:
    void Drain() {
        if (!_buffer.empty()) {
            _target->Write(_buffer.data(), static_cast<int32_t>(_buffer.size()));
            _buffer.clear();
        }
    }

    const Ref<Writer> _target;
    std::string _buffer;
};

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int OpenForSync(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Forces the file's data to the disk. The data written through another descriptor of the same
// file is covered: fsync acts on the file, not on the descriptor.
void SyncFile(const std::string& path) {
    const int fd = OpenForSync(path, O_RDONLY);
    if (fd < 0) {
        System::ThrowPosixError("open " + path);
    }
    if (::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        System::ThrowPosixError(error, "fsync " + path);
    }
    ::close(fd);
}

// Makes the rename durable. File systems that cannot sync a directory report EINVAL; the rename
// is then as durable as that file system makes it.
void SyncDirectory(const std::string& directory) {
    const int fd = OpenForSync(directory, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        System::ThrowPosixError("open directory " + directory);
    }
    if (::fsync(fd) != 0 && errno != EINVAL) {
        const int error = errno;
        ::close(fd);
        System::ThrowPosixError(error, "fsync directory " + directory);
    }
    ::close(fd);
}

// Gives the new file the permission bits and, where allowed, the owner of the file it replaces,
// so that a save never widens access to a file kept private (a configuration may hold secrets).
void CopyAccess(const std::string& from, const std::string& to) {
    struct stat existing {};
    if (::stat(from.c_str(), &existing) != 0) {
        if (errno == ENOENT) {
            return;
        }
        System::ThrowPosixError("stat " + from);
    }
    if (!S_ISREG(existing.st_mode)) {
        return;
    }
    // The owner first: chown may clear set-id bits that chmod then restores. Changing the owner
    // needs privileges most callers lack; the mode alone then still keeps the file as closed.
    if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) {
        (void)::chown(to.c_str(), existing.st_uid, existing.st_gid);
    }
    if (::chmod(to.c_str(), existing.st_mode & 07777) != 0) {
        System::ThrowPosixError("chmod " + to);
    }
}

}  // namespace

FileConfigBackend::FileConfigBackend(const std::string& path)
    : _path(path), _temporaryPath(path + kTemporarySuffix) {}

FileConfigBackend::~FileConfigBackend() {
    EndAccess();
}

void FileConfigBackend::BeginWrite(Ref<Writer>& writer) {
    if (_reader || _file) {
        throw InProgressException();
    }
    // A leftover of an interrupted save (or anything else by that name, such as a symbolic
    // link) is replaced, never written through.
    if (::unlink(_temporaryPath.c_str()) != 0 && errno != ENOENT) {
        System::ThrowPosixError("unlink " + _temporaryPath);
    }
    Ref<System::FileWriter> file;
    System::GetSystemFactory().CreateFileWriter(_temporaryPath, false, file);
    _file = file;
    _writer = new BlockWriter(file);
    writer = _writer;
}

void FileConfigBackend::BeginRead(Ref<Reader>& reader) {
    if (_reader || _file) {
        throw InProgressException();
    }
    Ref<System::FileReader> file;
    System::GetSystemFactory().CreateFileReader(_path, file);
    _reader = file;
    reader = file;
}

void FileConfigBackend::EndWrite() {
    if (!_file) {
        throw NotInProgressException();
    }
    try {
        _writer->Flush();
        SyncFile(_temporaryPath);
        _file->Close();
        CopyAccess(_path, _temporaryPath);
        if (::rename(_temporaryPath.c_str(), _path.c_str()) != 0) {
            System::ThrowPosixError("rename " + _temporaryPath + " to " + _path);
        }
    } catch (...) {
        AbandonWrite();
        throw;
    }
    _writer = nullptr;
    _file = nullptr;
    SyncDirectory(DirectoryOf(_path));
}

void FileConfigBackend::EndAccess() {
    if (_file) {
        AbandonWrite();
    }
    if (_reader) {
        const Ref<System::FileReader> reader = std::move(_reader);
        reader->Close();
    }
}

void FileConfigBackend::AbandonWrite() noexcept {
    // The buffer in front of the file is dropped unwritten: its bytes belong to a text that is
    // not going to be committed.
    _writer = nullptr;
    const Ref<System::FileWriter> file = std::move(_file);
    try {
        file->Close();
    } catch (...) {
        // The descriptor is released even when Close reports a failure; nothing else to do.
    }
    ::unlink(_temporaryPath.c_str());
}

}  // namespace Tarvos::Service
