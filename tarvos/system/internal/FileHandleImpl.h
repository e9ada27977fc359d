#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tarvos/core/Export.h"
#include "tarvos/core/Object.h"
#include "tarvos/system/FileHandle.h"

namespace Tarvos::System {

// The lower-level file layer under FileHandle and File: plain functions on an open-file record
// that report a result code instead of throwing. Open modes, access flags and seek origins are
// the numbers of FileHandle, taken unchanged.
namespace FileIo {

// Result codes. kPlatformError leaves the errno value in the record (or in the caller's hands
// for the path functions); kEndOfFile is a success for Read and Open.
enum Result : int32_t {
    kOk = 0,
    kInvalid = 1,
    kPlatformError = 2,
    kAlreadyExists = 3,
    kLockFailed = 4,
    kEndOfFile = 5,
    kNotFound = 6,
    kPermissionDenied = 7,
};

// One open file: the descriptor (-1 when closed) and the errno of the last failure.
struct OpenFile {
    int fd = -1;
    int lastError = 0;
};

// The one place where errno values become result codes.
TARVOS_INTERNAL int32_t ResultFromErrno(int error);

// Each returns a Result; on failure `file.lastError` holds errno and `file` stays closed.
int32_t Open(OpenFile& file, const std::string& path, int32_t mode, uint32_t access);
int32_t Close(OpenFile& file);
// `done` receives the bytes transferred; Read reports kEndOfFile with 0 bytes at the end.
int32_t Read(OpenFile& file, char* buffer, int32_t length, int32_t& done);
int32_t Write(OpenFile& file, const char* buffer, int32_t length, int32_t& done);
bool Flush(OpenFile& file);
// -1 on failure.
int64_t Seek(OpenFile& file, int64_t offset, int32_t origin);
int64_t GetSize(OpenFile& file);
bool SetSize(OpenFile& file, int64_t size);

// Throws the exception that `result` stands for (nothing for kOk, nor for kEndOfFile when
// `endOfFileIsSuccess`): kPlatformError a PosixSystemException for `error` with the context
// "<operation> <path>", the typed codes their FileIO exception naming `path`, and any other
// code FileIOException "Unkown file io error".
TARVOS_INTERNAL void CheckResult(int32_t result, int error, std::string_view operation,
                                 const std::string& path, bool endOfFileIsSuccess = false);

// Throws for a failed path operation with errno `error`: CheckResult(ResultFromErrno(error)).
[[noreturn]] void ThrowForErrno(int error, std::string_view operation, const std::string& path);

// Rejects an empty path and one with a NUL byte (InvalidArgumentException).
void ValidatePath(const std::string& path);

}  // namespace FileIo

// FileHandle over the lower-level layer.
//
// States: closed (_file.fd < 0) and open. Open moves closed -> open, Close and the destructor
// open -> closed. Invariant: only an open handle holds a descriptor and a lock.
//
// Externally synchronised.
class FileHandleImpl final : public FileHandle, public ObjectImpl {
public:
    explicit FileHandleImpl(const std::string& path);
    ~FileHandleImpl() override;

    FileHandleImpl(const FileHandleImpl&) = delete;
    FileHandleImpl& operator=(const FileHandleImpl&) = delete;

    void Open(int32_t mode, uint32_t access) override;
    void Close() override;
    bool IsOpen() const override { return _file.fd >= 0; }
    int32_t Read(char* buffer, int32_t length) override;
    int32_t Write(const char* buffer, int32_t length) override;
    bool Flush() override;
    int64_t Seek(int64_t offset, int32_t origin) override;
    int64_t GetSize() override;
    bool SetSize(int64_t size) override;
    const std::string& GetPath() const override { return _path; }

private:
    void RequireOpen() const;

    const std::string _path;
    FileIo::OpenFile _file;
};

}  // namespace Tarvos::System
