#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"

namespace Tarvos::System {

class FileWriterPosix;
class SystemFactoryImpl;

// A Writer over a fixed ring of files of bounded size: "<directory>/<baseName>-<n>.log" for n
// from 0 to fileCount - 1, and the index file "<directory>/<baseName>-index" that holds the
// current n as decimal text and nothing else, so that the next process continues the cycle.
//
// Each file takes at most maxFileSize bytes of written data. Write splits data at that exact
// limit: the bytes that fit end the current file, BeforeRotate runs, the writer rotates to the
// next file (replaced by a new empty one) and the rest goes there. Text a subclass writes on
// its own (notices, headers) does not count against the limit, so every file takes at least one
// byte of data and a tiny limit still makes progress.
//
// Creation (SystemFactory::CreateRolloverWriter): a readable index file in range names the file
// the last process wrote; that file is opened and the writer rotates once, so every process
// starts a fresh file. Without an index, file 0 is appended to, with the room its size leaves.
// The index file is replaced (temporary file, fsync, rename, directory fsync) whenever the
// current file changes: right after a rotation by the process-wide flusher thread, so that no
// writing thread waits for those syncs, and at once by Start, Close and (unless the flusher is
// already at it) Flush. Failing to
// replace it never fails a Write.
//
// Output is buffered (64 KiB) and reaches the file when the buffer fills, on Flush, on Close,
// at rotation, and within about 200 ms after writing stops (a process-wide flusher thread).
//
// Thread-safety: safe for concurrent use; Write, Flush and Close are serialised by the writer's
// own lock, which is held while the virtual rotation steps run.
class TARVOS_API RolloverWriter : public virtual Writer, public ObjectImpl {
public:
    ~RolloverWriter() override;

    RolloverWriter(const RolloverWriter&) = delete;
    RolloverWriter& operator=(const RolloverWriter&) = delete;

    // Appends the data, rotating as often as the size limit requires. Throws
    // NotInitializedException after Close, InvalidArgumentException for a negative length, and
    // PosixSystemException (with the path) when a file cannot be written or the next one cannot
    // be opened; the writer stays usable and retries the rotation with the next Write.
    void Write(const char* data, int32_t length) override;
    // Writes out the buffered bytes of the current file, which stays open. Does nothing after
    // Close.
    void Flush() override;
    // Flushes and closes the current file; later Writes throw NotInitializedException. Used when
    // the output ends. A second Close does nothing.
    virtual void Close();

    int32_t GetCurrentIndex() const;
    // The path of the current file ("<directory>/<baseName>-<n>.log").
    std::string GetCurrentFileName() const;
    const std::string& GetIndexFileName() const noexcept { return _indexPath; }
    int64_t GetMaxFileSize() const noexcept { return _maxFileSize; }
    int32_t GetFileCount() const noexcept { return _fileCount; }

protected:
    // Stores the settings; the files are opened by Start. Throws InvalidArgumentException when
    // maxFileSize or fileCount is below 1.
    RolloverWriter(const std::string& directory, const std::string& baseName, int64_t maxFileSize,
                   int32_t fileCount);

    // Opens the current file as described above; called once, right after construction, by the
    // factory (or by a subclass's own factory). Throws PosixSystemException when the file cannot
    // be opened.
    void Start();

    // The rotation steps below run with the writer's lock held; they must not call Write, Flush
    // or Close.

    // Moves to the next file: the base rotation (next index, new empty file, full room), then
    // StartFile.
    virtual void Rotate();
    // The path of file `index`.
    virtual std::string GetFileName(int32_t index) const;
    // Runs when a Write filled the current file, before Rotate; writes nothing here.
    virtual void BeforeRotate();
    // Runs when a file became the current one (at Start and after each rotation): asks for the
    // index file to be replaced.
    virtual void StartFile();

    // The base rotation: closes the current file and opens the next one anew, empty, with the
    // whole size limit as room. Does nothing when no file is open. When the next file cannot be
    // opened it throws and the current file stays.
    void RotateFile();
    // Asks for the index file to name the current file and, with `withLink`, for the symbolic
    // link "<directory>/<baseName>.log" to point at it. The work is done outside the writer's
    // lock (see above); failures are dropped.
    void PublishCurrentFile(bool withLink);
    // Writes text to the current file without counting it against the size limit.
    void WriteUncounted(const std::string& text);

    const std::string& GetDirectory() const noexcept { return _directory; }
    const std::string& GetBaseName() const noexcept { return _baseName; }
    // The section counter: 1 for the first file a writer starts, advanced by subclasses.
    int32_t GetSection() const noexcept { return _section; }
    void AdvanceSection() noexcept { ++_section; }

private:
    friend class SystemFactoryImpl;
    class FlushHook;

    bool ReadIndexFile(int32_t& index) const;
    void FlushIdle() noexcept;
    // Carries out the last publication asked for, if any; `wait` waits for another thread's
    // publication to end instead of leaving the work to it.
    void PublishPending(bool wait) noexcept;

    const std::string _directory;
    const std::string _baseName;
    const int64_t _maxFileSize;
    const int32_t _fileCount;
    const std::string _indexPath;
    const std::string _linkPath;
    const std::unique_ptr<FlushHook> _flushHook;

    // Serialises publications, so that the index file never goes back to an older index. Taken
    // before _mutex, never while holding it.
    std::mutex _publishMutex;

    // Guarded by _mutex.
    mutable std::mutex _mutex;
    Ref<FileWriterPosix> _file;
    int64_t _allowed = 0;
    int32_t _index = 0;
    int32_t _section = 1;
    // The publication asked for and not yet carried out: the index, and the link target (empty:
    // no link).
    bool _publishPending = false;
    int32_t _pendingIndex = 0;
    std::string _pendingLinkTarget;
};

// A RolloverWriter for log files. Each file starts with the header line
//   "Log for <product>, pid=<pid>, version=<version>, build=<build id>, option=Release,
//   section=<n>\n"
// (not counted against the size limit), a full file ends with "Log is being rotated....", the
// section counter advances with every rotation (and once at start when an index file was found),
// and the symbolic link "<directory>/<baseName>.log" always names the current file (replaced
// atomically through a temporary link and a rename; failures are dropped).
//
// Thread-safety: as RolloverWriter.
class TARVOS_API RolloverLogWriter : public RolloverWriter {
public:
    ~RolloverLogWriter() override;

    // The header line for a section, as written at the top of each file.
    static std::string FormatHeader(int32_t section);
    // The path of the link to the current file.
    std::string GetLinkName() const;

protected:
    RolloverLogWriter(const std::string& directory, const std::string& baseName,
                      int64_t maxFileSize, int32_t fileCount);

    void Rotate() override;
    std::string GetFileName(int32_t index) const override;
    void BeforeRotate() override;
    void StartFile() override;

private:
    friend class SystemFactoryImpl;
};

}  // namespace Tarvos::System
