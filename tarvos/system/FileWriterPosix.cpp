#include "tarvos/system/internal/FileWriterPosix.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tarvos/core/Exception.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactoryImpl.h"

namespace Tarvos::System {

void WriteToDescriptor(int fd, const char* data, size_t length, std::string_view what,
                       size_t& written) {
    written = 0;
    while (written < length) {
        const size_t chunk = std::min(length - written, FileWriterPosix::kChunkSize);
        const ssize_t result = ::write(fd, data + written, chunk);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowPosixError("write " + std::string(what));
        }
        written += static_cast<size_t>(result);
    }
}

FileWriterPosix::FileWriterPosix(const std::string& path, bool append, size_t bufferSize)
    : _path(path),
      _capacity(bufferSize),
      _buffer(bufferSize > 0 ? std::make_unique<char[]>(bufferSize) : nullptr) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    do {
        _fd = ::open(path.c_str(), flags, 0666);
    } while (_fd < 0 && errno == EINTR);
    if (_fd < 0) {
        ThrowPosixError("open " + path);
    }
}

FileWriterPosix::~FileWriterPosix() {
    // An owner that drops an open writer (an exception unwound past its Close) must not take
    // the process down: the file is closed here and what can still be written is.
    try {
        Close();
    } catch (...) {
    }
}

void FileWriterPosix::Write(const char* data, int32_t length) {
    if (length < 0) {
        throw InvalidArgumentException("negative length");
    }
    if (_fd < 0) {
        throw NotInitializedException();
    }
    const auto size = static_cast<size_t>(length);
    if (_capacity == 0) {
        size_t written = 0;
        WriteToDescriptor(_fd, data, size, _path, written);
        return;
    }
    if (size > _capacity - _used) {
        FlushBuffer();
        if (size >= _capacity) {
            size_t written = 0;
            WriteToDescriptor(_fd, data, size, _path, written);
            return;
        }
    }
    std::memcpy(_buffer.get() + _used, data, size);
    _used += size;
}

void FileWriterPosix::FlushBuffer() {
    if (_used == 0) {
        return;
    }
    size_t written = 0;
    try {
        WriteToDescriptor(_fd, _buffer.get(), _used, _path, written);
    } catch (...) {
        std::memmove(_buffer.get(), _buffer.get() + written, _used - written);
        _used -= written;
        throw;
    }
    _used = 0;
}

void FileWriterPosix::Flush() {
    if (_fd >= 0) {
        FlushBuffer();
    }
}

void FileWriterPosix::Close() {
    if (_fd < 0) {
        return;
    }
    std::exception_ptr failure;
    try {
        FlushBuffer();
    } catch (...) {
        failure = std::current_exception();
    }
    _used = 0;
    const int fd = _fd;
    _fd = -1;
    // Linux releases the descriptor even when close reports an error, so it is never retried.
    if (::close(fd) != 0 && !failure && errno != EINTR) {
        ThrowPosixError("close " + _path);
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void SystemFactoryImpl::CreateFileWriter(const std::string& path, bool append,
                                         Ref<FileWriter>& writer) {
    writer = new FileWriterPosix(path, append);
}

}  // namespace Tarvos::System
