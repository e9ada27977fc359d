#include "tarvos/service/LogManagerImpl.h"

#include <algorithm>

#include "tarvos/core/Exception.h"

namespace Tarvos::Service {

namespace {

bool Matches(const LogManager::LevelSetting& setting, const std::string& name) {
    return setting.prefix ? name.starts_with(setting.name) : name == setting.name;
}

}  // namespace

LogManagerImpl::LogManagerImpl() = default;
LogManagerImpl::~LogManagerImpl() = default;

void LogManagerImpl::Register(const Ref<Logger>& logger, const std::string& name) {
    if (!logger) {
        throw InvalidArgumentException("null logger");
    }
    std::string levelName;
    bool found = false;
    {
        System::ScopedLock lock(*this);
        for (const LevelSetting& setting : _settings) {
            if (Matches(setting, name)) {
                levelName = setting.levelName;
                found = true;
            }
        }
        const auto [first, last] = _loggers.equal_range(name);
        const bool known =
            std::any_of(first, last, [&](const auto& entry) { return entry.second == logger; });
        if (!known) {
            _loggers.emplace(name, logger);
        }
    }
    if (found) {
        logger->SetLevelByName(levelName);
    }
}

bool LogManagerImpl::Unregister(const Ref<Logger>& logger, const std::string& name) {
    Ref<Logger> dropped;
    {
        System::ScopedLock lock(*this);
        const auto [first, last] = _loggers.equal_range(name);
        for (auto it = first; it != last; ++it) {
            if (it->second == logger) {
                dropped = std::move(it->second);
                _loggers.erase(it);
                break;
            }
        }
    }
    return static_cast<bool>(dropped);
}

bool LogManagerImpl::IsRegistered(const std::string& name) {
    System::ScopedLock lock(*this);
    return _loggers.find(name) != _loggers.end();
}

void LogManagerImpl::Clear() {
    std::multimap<std::string, Ref<Logger>> dropped;
    {
        System::ScopedLock lock(*this);
        dropped.swap(_loggers);
    }
}

void LogManagerImpl::SetLevel(const std::string& name, const std::string& levelName, bool prefix) {
    std::vector<Ref<Logger>> affected;
    {
        System::ScopedLock lock(*this);
        if (prefix) {
            std::erase_if(_settings, [&](const LevelSetting& setting) {
                return setting.name.starts_with(name);
            });
        } else {
            const auto it = std::find_if(_settings.begin(), _settings.end(), [&](const auto& s) {
                return !s.prefix && s.name == name;
            });
            if (it != _settings.end()) {
                _settings.erase(it);
            }
        }
        _settings.push_back(LevelSetting{name, levelName, prefix});
        if (prefix) {
            for (auto it = _loggers.lower_bound(name);
                 it != _loggers.end() && it->first.starts_with(name); ++it) {
                affected.push_back(it->second);
            }
        } else {
            const auto [first, last] = _loggers.equal_range(name);
            for (auto it = first; it != last; ++it) {
                affected.push_back(it->second);
            }
        }
    }
    for (const Ref<Logger>& logger : affected) {
        logger->SetLevelByName(levelName);
    }
}

void LogManagerImpl::List(std::vector<std::pair<std::string, std::string>>& loggers,
                          std::vector<LevelSetting>& settings) {
    std::vector<std::pair<std::string, Ref<Logger>>> registered;
    {
        System::ScopedLock lock(*this);
        registered.assign(_loggers.begin(), _loggers.end());
        settings = _settings;
    }
    loggers.clear();
    loggers.reserve(registered.size());
    for (const auto& [name, logger] : registered) {
        loggers.emplace_back(name, logger->GetLevelName());
    }
}

void CreateLogManager(Ref<LogManager>& manager) {
    manager = new LogManagerImpl();
}

}  // namespace Tarvos::Service
