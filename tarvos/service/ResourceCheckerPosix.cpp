// The checkers of this platform's process resources, and their start from the configuration.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>

#include "tarvos/core/Exception.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/ResourceChecker.h"
#include "tarvos/system/PosixSystemException.h"

namespace Tarvos::Service {

namespace {

constexpr const char* kStatmPath = "/proc/self/statm";
constexpr const char* kDescriptorDir = "/proc/self/fd";

int32_t ClampToInt32(uint64_t value) {
    return static_cast<int32_t>(
        std::min<uint64_t>(value, static_cast<uint64_t>(std::numeric_limits<int32_t>::max())));
}

// The whole of a small /proc file.
std::string ReadProcFile(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        System::ThrowPosixError(std::string("open ") + path);
    }
    std::string text;
    char chunk[256];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            ::close(fd);
            System::ThrowPosixError(error, std::string("read ") + path);
        }
        if (got == 0) {
            break;
        }
        text.append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);
    return text;
}

}  // namespace

MemoryResourceChecker::MemoryResourceChecker(const Ref<App>& app, const Ref<Logger>& logger,
                                             int32_t intervalSecs, int32_t softLimit,
                                             int32_t hardLimit)
    : ResourceChecker(app, logger, intervalSecs, softLimit, hardLimit) {}

int32_t MemoryResourceChecker::GetCurrentValue() {
    // "size resident shared text lib data dt", all in pages.
    const std::string text = ReadProcFile(kStatmPath);
    const size_t residentStart = text.find(' ');
    uint64_t pages = 0;
    bool digits = false;
    for (size_t i = residentStart == std::string::npos ? text.size() : residentStart + 1;
         i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        pages = pages * 10 + static_cast<uint64_t>(text[i] - '0');
        digits = true;
    }
    if (!digits) {
        throw FileFormatException(std::string(kStatmPath) + ": no resident size in '" + text + "'");
    }
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return ClampToInt32(pages * static_cast<uint64_t>(pageSize > 0 ? pageSize : 4096) /
                        (1024 * 1024));
}

DescriptorResourceChecker::DescriptorResourceChecker(const Ref<App>& app, const Ref<Logger>& logger,
                                                     int32_t intervalSecs, int32_t softLimit,
                                                     int32_t hardLimit)
    : ResourceChecker(app, logger, intervalSecs, softLimit, hardLimit) {}

int32_t DescriptorResourceChecker::GetCurrentValue() {
    DIR* dir = ::opendir(kDescriptorDir);
    if (dir == nullptr) {
        System::ThrowPosixError(std::string("opendir ") + kDescriptorDir);
    }
    // The listing's own descriptor is not one of the process's.
    const std::string own = std::to_string(::dirfd(dir));
    uint64_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != ".." && name != own) {
            ++count;
        }
    }
    ::closedir(dir);
    return ClampToInt32(count);
}

void StartResourceCheckers(const Ref<App>& app, const Ref<Config::View>& config,
                           const Ref<Logger>& parentLogger,
                           std::vector<Ref<ResourceChecker>>& checkers) {
    if (!config) {
        return;
    }
    const Ref<Logger> parent = parentLogger ? parentLogger : TryGetDefaultLogger();
    struct Kind {
        const char* section;
        const char* loggerName;
        ResourceChecker* (*make)(const Ref<App>&, const Ref<Logger>&, int32_t, int32_t, int32_t);
    };
    static const Kind kinds[] = {
        {"resourceChecker/memory", "MemoryResourceChecker",
         [](const Ref<App>& a, const Ref<Logger>& l, int32_t i, int32_t s,
            int32_t h) -> ResourceChecker* { return new MemoryResourceChecker(a, l, i, s, h); }},
        {"resourceChecker/descriptors", "DescriptorResourceChecker",
         [](const Ref<App>& a, const Ref<Logger>& l, int32_t i, int32_t s, int32_t h)
             -> ResourceChecker* { return new DescriptorResourceChecker(a, l, i, s, h); }},
    };
    for (const Kind& kind : kinds) {
        const std::string section = kind.section;
        if (!config->Exists(section)) {
            continue;
        }
        int32_t intervalSecs = 0;
        int32_t softLimit = 0;
        int32_t hardLimit = 0;
        config->GetInt(section + "/intervalSecs", intervalSecs);
        config->GetInt(section + "/softLimit", softLimit);
        config->GetInt(section + "/hardLimit", hardLimit);
        Ref<Logger> logger;
        if (parent) {
            parent->CreateLogger(kind.loggerName, logger);
        }
        const Ref<ResourceChecker> checker(
            kind.make(app, logger, intervalSecs, softLimit, hardLimit));
        checker->Start();
        checkers.push_back(checker);
    }
}

}  // namespace Tarvos::Service
