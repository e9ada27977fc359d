#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tarvos/core/Ref.h"
#include "tarvos/service/LogManager.h"
#include "tarvos/system/LockableObjectImpl.h"

namespace Tarvos::Service {

// The LogManager of this library: registered loggers by name (one name may hold several
// loggers; registering the same logger twice under one name keeps one entry) and the recorded
// level settings in the order they were made.
//
// The manager holds counted references to its loggers until Unregister or Clear; whoever ends
// the logging chain calls Clear. Level changes on loggers happen after the manager's lock is
// released, and references dropped by Unregister and Clear are released after it too.
//
// Safe for concurrent use.
class TARVOS_API LogManagerImpl : public LogManager, public System::LockableObjectImpl {
public:
    LogManagerImpl();
    ~LogManagerImpl() override;

    LogManagerImpl(const LogManagerImpl&) = delete;
    LogManagerImpl& operator=(const LogManagerImpl&) = delete;

    // Throws InvalidArgumentException for a null logger.
    void Register(const Ref<Logger>& logger, const std::string& name) override;
    bool Unregister(const Ref<Logger>& logger, const std::string& name) override;
    bool IsRegistered(const std::string& name) override;
    void Clear() override;
    // An unknown level name is recorded like any other; applying it changes no logger.
    void SetLevel(const std::string& name, const std::string& levelName, bool prefix) override;
    void List(std::vector<std::pair<std::string, std::string>>& loggers,
              std::vector<LevelSetting>& settings) override;

private:
    // Guarded by the manager's lock.
    std::multimap<std::string, Ref<Logger>> _loggers;
    std::vector<LevelSetting> _settings;
};

// Makes an empty manager.
TARVOS_API void CreateLogManager(Ref<LogManager>& manager);

}  // namespace Tarvos::Service
