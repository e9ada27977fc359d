#include "tarvos/core/Exception.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tarvos/service/Log.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/internal/Debugger.h"

namespace Tarvos {

struct Throwable::Record {
    std::string message;
    Ref<System::Backtrace> backtrace;
};

namespace {

// Override slots of the three switches, in the order dump, spin, break.
std::atomic<const volatile bool*> g_switchOverrides[3];

int SwitchIndex(const std::string& name) {
    if (name == kExceptionDumpSwitch) {
        return 0;
    }
    if (name == kExceptionSpinSwitch) {
        return 1;
    }
    if (name == kExceptionBreakSwitch) {
        return 2;
    }
    return -1;
}

bool IsSwitchOn(int index, const char* name) {
    const volatile bool* flag = g_switchOverrides[index].load(std::memory_order_acquire);
    if (flag != nullptr) {
        return *flag;
    }
    const char* value = std::getenv(name);
    return value != nullptr && std::strcmp(value, "0") != 0;
}

void WriteStderr(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void ActOnSwitches(const Throwable& thrown) {
    if (IsSwitchOn(0, kExceptionDumpSwitch)) {
        std::string text = "Exception encountered: \n";
        text += thrown.GetMessage();
        text += "\nBacktrace generated: \n\n";
        if (auto backtrace = thrown.GetBacktrace()) {
            text += backtrace->GetText();
        }
        text += "\n";
        WriteStderr(text);
    }
    if (IsSwitchOn(2, kExceptionBreakSwitch)) {
        System::BreakIntoDebugger();
    }
    if (IsSwitchOn(1, kExceptionSpinSwitch)) {
        WriteStderr("Spinning on exception at pid " + std::to_string(getpid()) + "\n");
        // A debugger clears this flag to let the thread go on.
        volatile bool spinning = true;
        while (spinning) {
            sleep(1);
        }
    }
}

}  // namespace

void SetExceptionSwitchOverride(const std::string& switchName, const volatile bool* flag) {
    const int index = SwitchIndex(switchName);
    if (index < 0) {
        throw InvalidArgumentException("unknown exception switch " + switchName);
    }
    g_switchOverrides[index].store(flag, std::memory_order_release);
}

Throwable::Throwable(const std::string& message) : _record(new Record{message, {}}) {
    try {
        System::GetSystemFactory().CreateBacktrace(_record->backtrace);
    } catch (...) {
        // An exception without a backtrace is still an exception.
    }
    ActOnSwitches(*this);
}

Throwable::Throwable(const Throwable& other)
    : std::exception(other),
      _record(new Record{other._record->message, other._record->backtrace}) {}

Throwable& Throwable::operator=(const Throwable& other) {
    if (this != &other) {
        _record.reset(new Record{other._record->message, other._record->backtrace});
    }
    return *this;
}

Throwable::~Throwable() = default;

const char* Throwable::what() const noexcept {
    return _record->message.c_str();
}

const std::string& Throwable::GetMessage() const noexcept {
    return _record->message;
}

Ref<System::Backtrace> Throwable::GetBacktrace() const {
    return _record->backtrace;
}

std::string Throwable::GetBacktraceString() const {
    std::string text;
    const Ref<System::Backtrace>& backtrace = _record->backtrace;
    if (!backtrace) {
        return text;
    }
    const int count = backtrace->GetFrameCount();
    for (int i = 3; i < count; ++i) {
        text += "\t-> ";
        text += backtrace->GetFrameText(i);
        text += "\n";
    }
    return text;
}

void Throwable::LogBacktrace() const {
    try {
        Ref<Service::Logger> logger = Service::TryGetDefaultLogger();
        if (!logger) {
            return;
        }
        Service::Log(logger, Service::LogLevel::Error, "\n\nException: %1", GetMessage());
        Service::Log(logger, Service::LogLevel::Error, "Backtrace:\n%1", GetBacktraceString());
    } catch (...) {
        // Reporting an exception must not raise another one.
    }
}

}  // namespace Tarvos
