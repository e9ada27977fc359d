#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Object.h"
#include "tarvos/system/FileReader.h"

namespace Tarvos::System {

// A FileReader over one POSIX file descriptor; each Read is one read(2) call (repeated only when
// interrupted by a signal). _fd >= 0 exactly while the reader is open.
//
// Externally synchronised.
class FileReaderPosix final : public FileReader, public ObjectImpl {
public:
    // Opens an existing file; throws PosixSystemException with "open <path>" as context.
    explicit FileReaderPosix(const std::string& path);
    // Closes the file if the owner did not.
    ~FileReaderPosix() override;

    FileReaderPosix(const FileReaderPosix&) = delete;
    FileReaderPosix& operator=(const FileReaderPosix&) = delete;

    // Returns the bytes read, -1 at the end of the file, 0 for a zero length. Throws
    // PosixSystemException ("read <path>"), NotInitializedException after Close, and
    // InvalidArgumentException for a negative length.
    int32_t Read(char* buffer, int32_t length) override;
    // Releases the descriptor; a second Close does nothing.
    void Close() override;
    const std::string& GetPath() const override { return _path; }

private:
    const std::string _path;
    int _fd = -1;
};

}  // namespace Tarvos::System
