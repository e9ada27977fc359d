#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "tarvos/core/Object.h"
#include "tarvos/system/FileWriter.h"

namespace Tarvos::System {

// Writes `length` bytes to `fd` in write(2) calls of at most FileWriterPosix::kChunkSize bytes,
// resuming after short writes and EINTR. `written` counts the bytes that reached the descriptor,
// also when a call fails; a failure throws PosixSystemException with "write <what>" as context.
void WriteToDescriptor(int fd, const char* data, size_t length, std::string_view what,
                       size_t& written);

// A FileWriter over one POSIX file descriptor.
//
// Unbuffered (bufferSize 0, what the factory makes): every Write has reached the file when it
// returns. Buffered (bufferSize > 0, used by the rotating log writer): bytes collect in the buffer
// and go out when it fills, on Flush and on Close; a failed write keeps the bytes that did not get
// out at the front of the buffer, so a transient failure (a full disk) loses nothing once it
// passes.
//
// Invariants:
//   1. _fd >= 0 exactly while the writer is open; Close and the destructor release it once.
//   2. 0 <= _used <= _capacity, and _used == 0 when unbuffered.
//   3. Bytes reach the file in the order they were written.
//
// Externally synchronised.
class FileWriterPosix final : public FileWriter, public ObjectImpl {
public:
    static constexpr size_t kChunkSize = 10240;

    // Opens `path` for writing, created with mode 0666 less the umask when missing; `append`
    // keeps the contents and adds at the end, otherwise the file is truncated. Throws
    // PosixSystemException with "open <path>" as context.
    FileWriterPosix(const std::string& path, bool append, size_t bufferSize = 0);
    // Closes the file if the owner did not, flushing the buffer; failures are dropped here.
    ~FileWriterPosix() override;

    FileWriterPosix(const FileWriterPosix&) = delete;
    FileWriterPosix& operator=(const FileWriterPosix&) = delete;

    void Write(const char* data, int32_t length) override;
    // Writes out the buffer; does nothing after Close.
    void Flush() override;
    // Flushes and closes; the descriptor is released even when the flush fails (which then
    // throws). A second Close does nothing.
    void Close() override;
    const std::string& GetPath() const override { return _path; }

    bool IsOpen() const noexcept { return _fd >= 0; }
    bool HasBufferedData() const noexcept { return _used > 0; }

private:
    void FlushBuffer();

    const std::string _path;
    const size_t _capacity;
    const std::unique_ptr<char[]> _buffer;
    int _fd = -1;
    size_t _used = 0;
};

}  // namespace Tarvos::System
