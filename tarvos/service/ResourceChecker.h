#pragma once

#include <cstdint>
#include <vector>

#include "tarvos/core/Ref.h"
#include "tarvos/service/App.h"
#include "tarvos/service/Config.h"
#include "tarvos/service/Logger.h"
#include "tarvos/system/LockableObjectImpl.h"
#include "tarvos/system/ScheduledItem.h"
#include "tarvos/system/ThreadPool.h"

namespace Tarvos::Service {

// Watches one numeric resource of the process at a fixed interval: logs the usage, warns above
// the soft limit and stops the application's thread pool (App::StopThreadPool) above the hard
// limit. What is measured is decided by a subclass through GetCurrentValue. A limit of 0 or less
// is off; the hard limit is exceeded only by a value strictly greater than it.
//
// Checks run as timer tasks on the thread pool of the thread that called Start. A scheduled
// check holds a reference to its checker, so a started checker lives until Stop (or until its
// pool shuts down); dropping the last outside reference does not stop it.
//
// Safe for concurrent use: Start, Check and Stop run under the checker's lock, so a Stop that
// races with a running check prevents the next one from being scheduled. No check begins after
// Stop returned.
class TARVOS_API ResourceChecker : public System::LockableObjectImpl {
public:
    // `app` receives StopThreadPool on a hard-limit breach (may be null: then only the error is
    // logged); `logger` receives the lines (null: none).
    ResourceChecker(const Ref<App>& app, const Ref<Logger>& logger, int32_t intervalSecs,
                    int32_t softLimit, int32_t hardLimit);
    // Calls Stop.
    ~ResourceChecker() override;

    ResourceChecker(const ResourceChecker&) = delete;
    ResourceChecker& operator=(const ResourceChecker&) = delete;

    // Logs the settings and, when the interval is positive and a limit is on, schedules the
    // first check after the interval on the calling thread's pool. Throws WrongThreadException
    // when a check is to be scheduled and the calling thread is not in a pool. A second Start
    // replaces the schedule of the first (there is never more than one chain of checks).
    void Start();
    // Measures once, logs and acts on the limits; schedules the next check when the checker is
    // started. Runs as the timer task; may also be called directly.
    void Check();
    // Withdraws the scheduled check, if any (logging "Resource checker stopped."). Callable from
    // any thread: off the pool's threads the timer cannot be withdrawn, but when it fires it
    // finds itself stale and does nothing.
    void Stop();

    int32_t GetIntervalSecs() const noexcept { return _intervalSecs; }
    int32_t GetSoftLimit() const noexcept { return _softLimit; }
    int32_t GetHardLimit() const noexcept { return _hardLimit; }

protected:
    // The current usage. Called under the checker's lock, on a pool worker (or the thread that
    // calls Check). An exception is logged and the check counts as not made.
    virtual int32_t GetCurrentValue() = 0;

    const Ref<Logger>& GetLogger() const noexcept { return _logger; }

private:
    void CheckLocked();
    void ScheduleLocked();
    void StopLocked();
    // Cancels `item` when the calling thread belongs to its pool.
    void WithdrawLocked(const Ref<System::ScheduledItem>& item);
    // The timer task of the schedule numbered `generation`.
    void OnTimer(uint64_t generation);

    const Ref<App> _app;
    const Ref<Logger> _logger;
    const int32_t _intervalSecs;
    const int32_t _softLimit;
    const int32_t _hardLimit;

    // Guarded by the checker's lock.
    Ref<System::ScheduledItem> _item;  // the pending check; null when stopped
    Ref<System::ThreadPool> _pool;     // the pool of _item
    uint64_t _generation = 0;          // bumped by every schedule and by Stop
};

// Resident memory of the process in MiB (from /proc/self/statm). Logger "MemoryResourceChecker".
class TARVOS_API MemoryResourceChecker : public ResourceChecker {
public:
    MemoryResourceChecker(const Ref<App>& app, const Ref<Logger>& logger, int32_t intervalSecs,
                          int32_t softLimit, int32_t hardLimit);

protected:
    // Throws PosixSystemException when /proc/self/statm cannot be read, FileFormatException when
    // it holds no resident size.
    int32_t GetCurrentValue() override;
};

// Open file descriptors of the process (entries of /proc/self/fd, without the one used for the
// count). Logger "DescriptorResourceChecker".
class TARVOS_API DescriptorResourceChecker : public ResourceChecker {
public:
    DescriptorResourceChecker(const Ref<App>& app, const Ref<Logger>& logger, int32_t intervalSecs,
                              int32_t softLimit, int32_t hardLimit);

protected:
    // Throws PosixSystemException when /proc/self/fd cannot be listed.
    int32_t GetCurrentValue() override;
};

// Creates and starts the checkers configured below `config`:
//   resourceChecker/memory/intervalSecs, .../softLimit, .../hardLimit       (MiB resident)
//   resourceChecker/descriptors/intervalSecs, .../softLimit, .../hardLimit  (open descriptors)
// A checker is made only when its section ("resourceChecker/memory" or
// "resourceChecker/descriptors") exists; a missing key within it reads as 0 (off). The loggers are
// created from `parentLogger` (null: the default logger, if any). The started checkers are
// appended to `checkers`; the caller calls Stop on each (on a pool thread) before letting go.
// Must run on a pool thread when a checker will schedule checks. Throws NumberFormatException for
// a value that is not an integer.
TARVOS_API void StartResourceCheckers(const Ref<App>& app, const Ref<Config::View>& config,
                                      const Ref<Logger>& parentLogger,
                                      std::vector<Ref<ResourceChecker>>& checkers);

}  // namespace Tarvos::Service
