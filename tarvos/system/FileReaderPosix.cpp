#include "tarvos/system/internal/FileReaderPosix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "tarvos/core/Exception.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactoryImpl.h"

namespace Tarvos::System {

FileReaderPosix::FileReaderPosix(const std::string& path) : _path(path) {
    do {
        _fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (_fd < 0 && errno == EINTR);
    if (_fd < 0) {
        ThrowPosixError("open " + path);
    }
}

FileReaderPosix::~FileReaderPosix() {
    Close();
}

int32_t FileReaderPosix::Read(char* buffer, int32_t length) {
    if (length < 0) {
        throw InvalidArgumentException("negative length");
    }
    if (_fd < 0) {
        throw NotInitializedException();
    }
    if (length == 0) {
        // read(2) would report 0 here too, which must not be mistaken for the end of the file.
        return 0;
    }
    ssize_t result;
    do {
        result = ::read(_fd, buffer, static_cast<size_t>(length));
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        ThrowPosixError("read " + _path);
    }
    return result == 0 ? -1 : static_cast<int32_t>(result);
}

void FileReaderPosix::Close() {
    if (_fd >= 0) {
        ::close(_fd);
        _fd = -1;
    }
}

void SystemFactoryImpl::CreateFileReader(const std::string& path, Ref<FileReader>& reader) {
    reader = new FileReaderPosix(path);
}

}  // namespace Tarvos::System
