#include "tarvos/system/RolloverWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Format.h"
#include "tarvos/core/Version.h"
#include "tarvos/system/SystemFactoryImpl.h"
#include "tarvos/system/internal/FileWriterPosix.h"
#include "tarvos/system/internal/PeriodicFlusher.h"

// Design note.
//
// States: created (settings only) -> open (Start opened the current file) -> closed (Close, or
// a destructor). Write moves between files of the ring while open; Close is final.
//
// Files: "<dir>/<base>-<n>.log" hold the data; "<dir>/<base>-index" holds n in decimal ASCII
// without sign, padding or line end; "<dir>/<base>.log" (log writer only) is a symbolic link
// whose target is the relative name "<base>-<n>.log".
//
// Invariants (under _mutex):
//   1. _file is open exactly in the open state, and it is file _index of the ring.
//   2. 0 <= _allowed <= _maxFileSize: the counted bytes still allowed in the current file. Only
//      Write counts; text written through WriteUncounted does not.
//   3. Write never passes more than _allowed counted bytes to the current file, and rotates
//      only when the rest of the data does not fit; since _maxFileSize >= 1, each rotation
//      consumes at least one byte of data, so a Write ends after at most
//      length / _maxFileSize + 1 rotations.
//   4. A rotation leaves a publication pending (index, link target); the pending one is always
//      the newest. Publications run under _publishMutex without _mutex, in the order they were
//      taken, so the index file, when it could be written, ends up naming the file _index.
//      Start and Close carry out the pending publication before they return; Flush does so
//      unless the flusher thread is already at it.
//
// Lock order: _publishMutex, then _mutex; the flusher's registry lock is never taken while
// holding either (WakePeriodicFlush takes none).
namespace Tarvos::System {

namespace {

// Room in bytes of the buffer of the current file.
constexpr size_t kFileBufferSize = 64 * 1024;
// The index file is at most this long; longer content counts as garbled.
constexpr int32_t kMaxIndexFileBytes = 15;

int64_t FileSizeOrZero(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return 0;
    }
    return static_cast<int64_t>(info.st_size);
}

// Syncs the directory that holds `path`, so that a rename in it survives a crash.
void SyncDirectory(const std::string& directory) noexcept {
    const int fd =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Writes `text` to a fresh `temporary`, syncs it, and renames it over `path`.
bool ReplaceFile(const std::string& path, const std::string& temporary, std::string_view text) {
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    try {
        size_t written = 0;
        WriteToDescriptor(fd, text.data(), text.size(), temporary, written);
    } catch (const Exception&) {
        ok = false;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

// Lets the process-wide flusher reach the writer through a member object rather than through
// the writer's own bases: the hook is complete until ~RolloverWriter has unregistered it, so a
// flush never runs on a half-destroyed writer.
class RolloverWriter::FlushHook final : public PeriodicFlushClient {
public:
    explicit FlushHook(RolloverWriter& owner) : _owner(owner) {}
    void FlushIdle() noexcept override { _owner.FlushIdle(); }

private:
    RolloverWriter& _owner;
};

RolloverWriter::RolloverWriter(const std::string& directory, const std::string& baseName,
                               int64_t maxFileSize, int32_t fileCount)
    : _directory(directory),
      _baseName(baseName),
      _maxFileSize(maxFileSize),
      _fileCount(fileCount),
      _indexPath(FormatString("%1/%2-index", directory, baseName)),
      _linkPath(FormatString("%1/%2.log", directory, baseName)),
      _flushHook(std::make_unique<FlushHook>(*this)) {
    if (maxFileSize < 1) {
        throw InvalidArgumentException("maximum file size below 1");
    }
    if (fileCount < 1) {
        throw InvalidArgumentException("file count below 1");
    }
}

RolloverWriter::~RolloverWriter() {
    UnregisterPeriodicFlush(_flushHook.get());
    PublishPending(true);
    std::lock_guard<std::mutex> lock(_mutex);
    if (_file) {
        try {
            _file->Close();
        } catch (...) {
            // Nothing can be reported from here; the file descriptor is released regardless.
        }
        _file.Reset();
    }
}

void RolloverWriter::Start() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        int32_t index = 0;
        const bool hadIndex = ReadIndexFile(index);
        _index = hadIndex ? index : 0;
        const std::string path = GetFileName(_index);
        _allowed = std::max<int64_t>(0, _maxFileSize - FileSizeOrZero(path));
        _file = new FileWriterPosix(path, true, kFileBufferSize);
        if (hadIndex) {
            Rotate();
        } else {
            StartFile();
        }
    }
    PublishPending(true);
    RegisterPeriodicFlush(_flushHook.get());
}

bool RolloverWriter::ReadIndexFile(int32_t& index) const {
    const int fd = ::open(_indexPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[kMaxIndexFileBytes + 1];
    ssize_t length;
    do {
        length = ::read(fd, text, sizeof text);
    } while (length < 0 && errno == EINTR);
    ::close(fd);
    if (length <= 0 || length > kMaxIndexFileBytes) {
        return false;
    }
    // Tolerate a line end left by someone editing the file by hand.
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
        --length;
    }
    int32_t value = -1;
    const auto [end, error] = std::from_chars(text, text + length, value);
    if (error != std::errc() || end != text + length || length == 0 || value < 0 ||
        value >= _fileCount) {
        return false;
    }
    index = value;
    return true;
}

void RolloverWriter::Write(const char* data, int32_t length) {
    if (length < 0) {
        throw InvalidArgumentException("negative length");
    }
    std::lock_guard<std::mutex> lock(_mutex);
    if (!_file) {
        throw NotInitializedException();
    }
    while (length > _allowed) {
        const auto part = static_cast<int32_t>(_allowed);
        _file->Write(data, part);
        data += part;
        length -= part;
        _allowed = 0;
        BeforeRotate();
        Rotate();
    }
    _file->Write(data, length);
    _allowed -= length;
}

void RolloverWriter::Flush() {
    // Logging flushes after every severe line: it must not wait for the flusher thread's syncs.
    PublishPending(false);
    std::lock_guard<std::mutex> lock(_mutex);
    if (_file) {
        _file->Flush();
    }
}

void RolloverWriter::Close() {
    PublishPending(true);
    std::lock_guard<std::mutex> lock(_mutex);
    if (_file) {
        const Ref<FileWriterPosix> file = std::move(_file);
        file->Close();
    }
}

void RolloverWriter::FlushIdle() noexcept {
    PublishPending(false);
    // A writer busy writing is skipped: its buffer goes out when it fills, or in a later round.
    std::unique_lock<std::mutex> lock(_mutex, std::try_to_lock);
    if (!lock.owns_lock() || !_file || !_file->HasBufferedData()) {
        return;
    }
    try {
        _file->Flush();
    } catch (...) {
        // The bytes stay buffered; the next Write, Flush or round retries.
    }
}

void RolloverWriter::PublishCurrentFile(bool withLink) {
    _publishPending = true;
    _pendingIndex = _index;
    _pendingLinkTarget.clear();
    if (withLink) {
        _pendingLinkTarget = FormatString("%1-%2.log", _baseName, _index);
    }
    WakePeriodicFlush();
}

void RolloverWriter::PublishPending(bool wait) noexcept {
    std::unique_lock<std::mutex> publishing(_publishMutex, std::defer_lock);
    if (wait) {
        publishing.lock();
    } else if (!publishing.try_lock()) {
        return;
    }
    int32_t index;
    std::string linkTarget;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_publishPending) {
            return;
        }
        _publishPending = false;
        index = _pendingIndex;
        linkTarget.swap(_pendingLinkTarget);
    }
    try {
        if (ReplaceFile(_indexPath, _indexPath + ".tmp", FormatString("%1", index))) {
            SyncDirectory(_directory);
        }
        if (!linkTarget.empty()) {
            const std::string temporary = _linkPath + ".tmp";
            ::unlink(temporary.c_str());
            if (::symlink(linkTarget.c_str(), temporary.c_str()) != 0) {
                return;
            }
            if (::rename(temporary.c_str(), _linkPath.c_str()) != 0) {
                ::unlink(temporary.c_str());
                return;
            }
            SyncDirectory(_directory);
        }
    } catch (...) {
        // Out of memory while naming files: the next rotation publishes again.
    }
}

int32_t RolloverWriter::GetCurrentIndex() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _index;
}

std::string RolloverWriter::GetCurrentFileName() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return GetFileName(_index);
}

void RolloverWriter::Rotate() {
    RotateFile();
    StartFile();
}

std::string RolloverWriter::GetFileName(int32_t index) const {
    return FormatString("%1/%2-%3.log", _directory, _baseName, index);
}

void RolloverWriter::BeforeRotate() {}

void RolloverWriter::StartFile() {
    PublishCurrentFile(false);
}

void RolloverWriter::RotateFile() {
    if (!_file) {
        return;
    }
    const int32_t next = (_index + 1) % _fileCount;
    const std::string path = GetFileName(next);
    // A fresh file rather than a truncated one: truncating a file that was filled before makes
    // the file system write it back at close and free its blocks synchronously at the next
    // truncation, which stalls every logger of the family for milliseconds. Unlinking a file
    // that is still only in the page cache costs nothing. Should the unlink fail, opening
    // truncates.
    ::unlink(path.c_str());
    Ref<FileWriterPosix> file = new FileWriterPosix(path, false, kFileBufferSize);
    std::swap(file, _file);
    _index = next;
    _allowed = _maxFileSize;
    try {
        file->Close();
    } catch (...) {
        // The old file's last bytes could not be written; the new file is in place and logging
        // goes on there.
    }
}

void RolloverWriter::WriteUncounted(const std::string& text) {
    if (_file) {
        _file->Write(text.data(), static_cast<int32_t>(text.size()));
    }
}

RolloverLogWriter::RolloverLogWriter(const std::string& directory, const std::string& baseName,
                                     int64_t maxFileSize, int32_t fileCount)
    : RolloverWriter(directory, baseName, maxFileSize, fileCount) {}

RolloverLogWriter::~RolloverLogWriter() = default;

std::string RolloverLogWriter::FormatHeader(int32_t section) {
    return FormatString("Log for %1, pid=%2, version=%3, build=%4, option=%5, section=%6\n",
                        TARVOS_PRODUCT_NAME, static_cast<int32_t>(::getpid()), TARVOS_VERSION_TEXT,
                        TARVOS_BUILD_ID, "Release", section);
}

std::string RolloverLogWriter::GetLinkName() const {
    return FormatString("%1/%2.log", GetDirectory(), GetBaseName());
}

void RolloverLogWriter::Rotate() {
    RotateFile();
    AdvanceSection();
    StartFile();
}

std::string RolloverLogWriter::GetFileName(int32_t index) const {
    return RolloverWriter::GetFileName(index);
}

void RolloverLogWriter::BeforeRotate() {
    WriteUncounted("Log is being rotated....");
}

void RolloverLogWriter::StartFile() {
    PublishCurrentFile(true);
    WriteUncounted(FormatHeader(GetSection()));
}

void SystemFactoryImpl::CreateRolloverWriter(const std::string& directory,
                                             const std::string& baseName, int64_t maxFileSize,
                                             int32_t fileCount, Ref<RolloverWriter>& writer) {
    Ref<RolloverWriter> made = new RolloverWriter(directory, baseName, maxFileSize, fileCount);
    made->Start();
    writer = std::move(made);
}

void SystemFactoryImpl::CreateRolloverLogWriter(const std::string& directory,
                                                const std::string& baseName, int64_t maxFileSize,
                                                int32_t fileCount, Ref<RolloverWriter>& writer) {
    Ref<RolloverWriter> made = new RolloverLogWriter(directory, baseName, maxFileSize, fileCount);
    made->Start();
    writer = std::move(made);
}

}  // namespace Tarvos::System
