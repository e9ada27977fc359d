#include "tarvos/system/internal/ConsoleWriterPosix.h"

#include <unistd.h>

#include "tarvos/core/Exception.h"
#include "tarvos/system/SystemFactoryImpl.h"
#include "tarvos/system/internal/FileWriterPosix.h"

namespace Tarvos::System {

void ConsoleWriterPosix::Write(const char* data, int32_t length) {
    if (length < 0) {
        throw InvalidArgumentException("negative length");
    }
    size_t written = 0;
    WriteToDescriptor(STDOUT_FILENO, data, static_cast<size_t>(length), "<stdout>", written);
}

void SystemFactoryImpl::CreateConsoleWriter(Ref<Writer>& writer) {
    writer = new ConsoleWriterPosix();
}

}  // namespace Tarvos::System
