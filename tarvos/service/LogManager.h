#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tarvos/core/Ref.h"
#include "tarvos/service/Logger.h"

namespace Tarvos::Service {

// The registry of loggers by name, with level settings by exact name or by name prefix. A setting
// applies to the loggers registered now and to those registered later.
//
// Safe for concurrent use; the manager's lock is never held while a logger's lock is taken.
class TARVOS_API LogManager : public virtual Object {
public:
    // One recorded level setting.
    struct LevelSetting {
        std::string name;
        std::string levelName;
        bool prefix = false;
    };

    // Registers `logger` under `name` and gives it the level of the last matching setting.
    virtual void Register(const Ref<Logger>& logger, const std::string& name) = 0;
    // False when that logger is not registered under that name.
    virtual bool Unregister(const Ref<Logger>& logger, const std::string& name) = 0;
    virtual bool IsRegistered(const std::string& name) = 0;
    // Forgets every registered logger.
    virtual void Clear() = 0;
    // Records a setting and applies it to the registered loggers it matches: without `prefix`
    // those registered under exactly `name`, with `prefix` every logger whose name begins with
    // `name`.
    virtual void SetLevel(const std::string& name, const std::string& levelName, bool prefix) = 0;
    // The registered logger names (sorted, with their current level names) and the recorded
    // settings in the order they apply.
    virtual void List(std::vector<std::pair<std::string, std::string>>& loggers,
                      std::vector<LevelSetting>& settings) = 0;
};

}  // namespace Tarvos::Service
