// The demo plug-in: registers the "demo" service and logs a heartbeat on a pool timer, every
// "demo/heartbeatSeconds" seconds (default 5), the first one at once. Stop cancels the timer and
// reports finished once no heartbeat is running.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "tarvos/core/Exception.h"
#include "tarvos/service/App.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/Plugin.h"
#include "tarvos/system/ScheduledItem.h"
#include "tarvos/system/Task.h"

namespace {

using namespace Tarvos;
using namespace Tarvos::Service;

// The service other plug-ins find under "demo": how many heartbeats were logged.
class DemoService final : public ObjectImpl {
public:
    int64_t GetHeartbeats() const {
        std::lock_guard<std::mutex> guard(_mutex);
        return _heartbeats;
    }
    int64_t Beat() {
        std::lock_guard<std::mutex> guard(_mutex);
        return ++_heartbeats;
    }

private:
    mutable std::mutex _mutex;
    int64_t _heartbeats = 0;
};

// Safe for concurrent use: the heartbeat runs on pool workers, Init/Start/Stop on the
// application's start-up thread.
class DemoPlugin final : public Plugin, public ObjectImpl {
public:
    std::string GetName() const override { return "demo"; }

    void Init(App& app) override {
        Ref<Config::View> root;
        app.GetConfig()->GetRootView(root);
        int32_t seconds = 5;
        root->GetInt("demo/heartbeatSeconds", seconds);
        if (seconds < 1) {
            throw InvalidArgumentException("demo/heartbeatSeconds must be at least 1");
        }
        app.GetLogger()->CreateLogger("Demo", _logger);
        _pool = app.GetThreadPool();
        _periodMicros = int64_t{seconds} * 1000000;
        _service = new DemoService();
        app.RegisterService("demo", _service);
        Log(_logger, LogLevel::Info, "Demo plug-in loaded, heartbeat every %1 s", seconds);
    }

    void Start(App&) override {
        std::lock_guard<std::mutex> guard(_mutex);
        ScheduleLocked(0);
    }

    bool Stop(int64_t timeoutMicros) override {
        std::unique_lock<std::mutex> guard(_mutex);
        if (!_stopping) {
            _stopping = true;
            if (_timer) {
                _timer->Cancel();
                _timer.Reset();
            }
        }
        if (!_idle.wait_for(guard, std::chrono::microseconds(timeoutMicros),
                            [this] { return !_beating; })) {
            return false;
        }
        guard.unlock();
        Log(_logger, LogLevel::Info, "Demo plug-in stopped after %1 heartbeats",
            _service->GetHeartbeats());
        return true;
    }

private:
    void ScheduleLocked(int64_t delayMicros) {
        Ref<DemoPlugin> self(this);
        _pool->ScheduleTimer(System::MakeTask([self] { self->Heartbeat(); }), delayMicros, _timer);
    }

    void Heartbeat() {
        {
            std::lock_guard<std::mutex> guard(_mutex);
            if (_stopping) {
                return;
            }
            _beating = true;
        }
        Log(_logger, LogLevel::Info, "Heartbeat %1", _service->Beat());
        std::lock_guard<std::mutex> guard(_mutex);
        _beating = false;
        if (!_stopping) {
            ScheduleLocked(_periodMicros);
        }
        _idle.notify_all();
    }

    Ref<Logger> _logger;
    Ref<System::ThreadPool> _pool;
    Ref<DemoService> _service;
    int64_t _periodMicros = 0;

    std::mutex _mutex;
    std::condition_variable _idle;
    // Guarded by _mutex.
    Ref<System::ScheduledItem> _timer;
    bool _stopping = false;
    bool _beating = false;
};

}  // namespace

TARVOS_PLUGIN_ENTRY(DemoPlugin)
