#pragma once

#include <atomic>
#include <string>

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/service/Config.h"
#include "tarvos/service/Logger.h"

namespace Tarvos::Service {

// Negative test triggers: a configuration view names code paths that must take their failure
// branch, so that tests reach them. Code marks such a path with the TARVOS_TF macro (below):
//   if (TARVOS_TF("Journal.WriteFails")) { ...failure path... }
// The trigger fires when the view holds the boolean true at the trigger's name.
//
// Thread-safety: safe for concurrent use; the view is only read.
class TARVOS_API Tester : public virtual Object {
public:
    // `trigger` is the source text of a trigger, TARVOS_TF("<name>"): the prefix "TARVOS_TF",
    // then "(\"", a non-empty name, and "\")" at the end; anything else throws
    // InvalidArgumentException ("Invalid argument"). Returns the boolean at <name> in the view
    // (false when absent; a value that is not a boolean throws NumberFormatException). When it
    // fires and the tester has a logger, logs "Negative test trigger '<name>' firing" at level 4.
    virtual bool IsTriggered(const std::string& trigger) = 0;
};

// Makes the process's tester over `view` (not null: InvalidArgumentException) logging to `logger`
// (may be null). A second call, before ShutdownTester, throws AlreadyInitializedException.
TARVOS_API void InitTester(const Ref<Config::View>& view, const Ref<Logger>& logger);
// The process's tester; NotInitializedException when there is none.
TARVOS_API Ref<Tester> GetTester();
// Drops the process's tester (nothing happens when there is none); triggers are off again.
TARVOS_API void ShutdownTester();

// Asks the process's tester about `trigger` (see Tester::IsTriggered); false when there is none.
TARVOS_API bool IsTestTriggered(const char* trigger);

// True while a tester exists; TARVOS_TF reads it before asking the tester.
TARVOS_API extern std::atomic<bool> g_testerInitialized;

inline bool IsTesterInitialized() noexcept {
    return g_testerInitialized.load(std::memory_order_relaxed);
}

}  // namespace Tarvos::Service

// True when the negative test trigger `name` (a string literal) fires. Without a tester it is
// false at the cost of one load.
#define TARVOS_TF(name)                          \
    (::Tarvos::Service::IsTesterInitialized() && \
     ::Tarvos::Service::IsTestTriggered("TARVOS_TF(" #name ")"))
