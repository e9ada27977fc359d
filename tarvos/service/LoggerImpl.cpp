#include "tarvos/service/LoggerImpl.h"

#include "tarvos/core/Exception.h"
#include "tarvos/service/internal/LogSink.h"

namespace Tarvos::Service {

LoggerImpl::LoggerImpl(const std::string& name, const Ref<Writer>& output,
                       const Ref<LogManager>& manager)
    : LoggerImpl(name, LogLevel::Info, Ref<LogSink>(new LogSink(output)), manager) {}

LoggerImpl::LoggerImpl(const std::string& name, int32_t level, const Ref<LogSink>& sink,
                       const Ref<LogManager>& manager)
    : _sink(sink), _manager(manager), _level(level), _name(name) {}

LoggerImpl::~LoggerImpl() = default;

void LoggerImpl::SetName(const std::string& name) {
    System::ScopedLock lock(*this);
    if (_manager) {
        const Ref<Logger> self(this);
        if (_manager->Unregister(self, _name)) {
            _manager->Register(self, name);
        }
    }
    _sink->LockOutput();
    _name = name;
    _sink->UnlockOutput();
}

std::string LoggerImpl::GetName() const {
    System::ScopedLock lock(const_cast<LoggerImpl&>(*this));
    return _name;
}

void LoggerImpl::CreateLogger(const std::string& name, int32_t level, Ref<Logger>& logger) {
    const int32_t threshold = level != 0 ? level : _level.load(std::memory_order_relaxed);
    Ref<Logger> made = new LoggerImpl(name, threshold, _sink, _manager);
    if (_manager) {
        _manager->Register(made, name);
    }
    logger = std::move(made);
}

void LoggerImpl::CreateLogger(const std::string& name, Ref<Logger>& logger) {
    CreateLogger(name, 0, logger);
}

void LoggerImpl::SetLevel(int32_t level) {
    _level.store(level, std::memory_order_relaxed);
}

bool LoggerImpl::SetLevelByName(const std::string& levelName) {
    const int32_t level = GetLogLevelByName(levelName);
    if (level < 0) {
        return false;
    }
    SetLevel(level);
    return true;
}

std::string LoggerImpl::GetLevelName() const {
    return GetLogLevelName(GetLevel());
}

int32_t LoggerImpl::GetLevel() const {
    return _level.load(std::memory_order_relaxed);
}

bool LoggerImpl::IsEnabled(int32_t level) const {
    return level <= _level.load(std::memory_order_relaxed);
}

void LoggerImpl::BeginMessage(int32_t level) {
    // The name is stable while the output lock is held (SetName changes it under that lock);
    // the sink takes the lock before it reads it.
    _sink->BeginLine(_name, level);
}

void LoggerImpl::WriteString(const char* data, int32_t length) {
    if (length < 0) {
        throw InvalidArgumentException("negative length");
    }
    _sink->Append(data, static_cast<size_t>(length));
}

void LoggerImpl::EndMessage() {
    _sink->EndLine();
}

void LoggerImpl::RecordTrace(int64_t threadId, uintptr_t address) {
    _sink->GetHistory().Record(threadId, address);
}

void LoggerImpl::LogHistory() {
    _sink->GetHistory().LogHistory(*this);
}

void LoggerImpl::WriteHistory(Writer& out) {
    _sink->GetHistory().WriteHistory(out);
}

void LoggerImpl::Write(const char* data, int32_t length) {
    WriteString(data, length);
}

void LoggerImpl::Flush() {
    _sink->Flush();
}

void CreateRootLogger(const std::string& name, const Ref<Writer>& output,
                      const Ref<LogManager>& manager, Ref<Logger>& logger) {
    Ref<Logger> made = new LoggerImpl(name, output, manager);
    if (manager) {
        manager->Register(made, name);
    }
    logger = std::move(made);
}

}  // namespace Tarvos::Service
