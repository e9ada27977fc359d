#include "tarvos/core/Panic.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Format.h"
#include "tarvos/service/Log.h"
#include "tarvos/system/internal/Debugger.h"

namespace Tarvos {

namespace {

void WriteStderr(const std::string& text) noexcept {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

void PanicExit(const std::string& message) {
    // The panic lock is taken and never released: a second panicking thread waits here until
    // the first one ends the process. A panic raised while this thread reports its own panic
    // (logging failed badly) exits at once.
    static std::mutex panicLock;
    static std::atomic<long> panickingThread{0};
    const long self = syscall(SYS_gettid);
    if (panickingThread.load() == self) {
        _exit(255);
    }
    panicLock.lock();
    panickingThread.store(self);

    WriteStderr("PanicExit: " + message + "\n");
    try {
        Ref<Service::Logger> logger = Service::TryGetDefaultLogger();
        if (logger) {
            Service::Log(logger, Service::LogLevel::Error, "\n\nPanicExit: %1", message);
        }
        // Made after the panic line so that what the exception switches print follows it.
        Throwable report(message);
        if (logger) {
            report.LogBacktrace();
            if (auto* output = dynamic_cast<Writer*>(logger.Get())) {
                output->Flush();
            }
        } else {
            WriteStderr("Backtrace:\n" + report.GetBacktraceString());
        }
    } catch (...) {
        // Nothing may stop the exit.
    }
    System::WriteProcessDump();
    std::fflush(nullptr);
    _exit(255);
}

void AssertFailed(const char* file, int line, int bugNumber) {
    std::string message = "Assert failed!";
    if (bugNumber > 0) {
        message += FormatString(" PR# : %1", bugNumber);
    }
    WriteStderr(FormatString("Assertion at %1:%2\n", file, line));
    PanicExit(message);
}

void NotImplementedAssertFailed(const char* file, int line) {
    WriteStderr(FormatString("Assertion at %1:%2\n", file, line));
    PanicExit("Not implemented Assert failed!");
}

void NotImplemented(const char* file, int line) {
    WriteStderr(FormatString("Assertion at %1:%2\n", file, line));
    PanicExit("Not implemented!");
}

void NotReached(const char* file, int line) {
    WriteStderr(FormatString("Assertion at %1:%2\n", file, line));
    PanicExit("Not reached!");
}

}  // namespace Tarvos
