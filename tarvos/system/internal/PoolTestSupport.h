#pragma once

// Helpers shared by the tests of the thread pool and the locks (header-only, tests only).

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "tarvos/core/Ref.h"
#include "tarvos/service/Config.h"
#include "tarvos/service/ConfigFactory.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/ThreadPool.h"

namespace Tarvos::System::Testing {

// Polls `condition` until it holds or `limit` passed; returns whether it holds.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// A gate that tasks wait at until the test opens it (bounded, so a broken pool cannot hang the
// test binary).
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> guard(_mutex);
        _open = true;
        _changed.notify_all();
    }
    bool Pass(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> guard(_mutex);
        return _changed.wait_for(guard, limit, [this] { return _open; });
    }

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    bool _open = false;
};

// A configuration view holding the given settings.
inline Ref<Service::Config::View> MakeSettings(const std::map<std::string, std::string>& values) {
    Ref<Service::Config> config;
    Service::CreateScratchConfig(config);
    Ref<Service::Config::View> view;
    config->GetRootView(view);
    for (const auto& [key, value] : values) {
        view->Set(key, value);
    }
    return view;
}

inline Ref<ThreadPool> MakePool(const std::map<std::string, std::string>& values = {}) {
    Ref<ThreadPool> pool;
    GetSystemFactory().CreateThreadPool(values.empty() ? nullptr : MakeSettings(values), pool);
    return pool;
}

// Shuts a pool down and waits for its threads, so that nothing outlives the test.
inline void StopPool(const Ref<ThreadPool>& pool) {
    if (pool) {
        pool->Shutdown();
        pool->WaitForThreads(-1);
    }
}

// Runs `body` on a new std::thread that is a thread of `pool` while the body runs; joins it.
inline void RunOnPoolThread(const Ref<ThreadPool>& pool, const std::function<void()>& body) {
    std::thread thread([&] {
        pool->EnterThread();
        body();
        pool->LeaveThread();
    });
    thread.join();
}

}  // namespace Tarvos::System::Testing
