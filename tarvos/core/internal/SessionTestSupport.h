#pragma once

// Fakes and helpers shared by the tests of sessions, session pools and tickets (tests only).

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tarvos/core/Ref.h"
#include "tarvos/core/Session.h"
#include "tarvos/core/SessionMixin.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/ThreadPool.h"

namespace Tarvos::Testing {

// Polls `condition` until it holds or `limit` passed; returns whether it holds.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

// Close notifications in the order they happened, shared by the fakes of one test.
struct EventLog {
    void Add(const std::string& event) {
        std::lock_guard<std::mutex> guard(mutex);
        events.push_back(event);
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> guard(mutex);
        return events;
    }
    std::mutex mutex;
    std::vector<std::string> events;
};

// Session object and auth data that count their close notifications, log them as "<name>" to
// an optional EventLog and run an optional action inside (set before the object is shared).
class Probe final : public SessionObject, public SessionAuthData, public ObjectImpl {
public:
    explicit Probe(std::string name, EventLog* log = nullptr) : _name(std::move(name)), _log(log) {}
    void OnSessionClosed() override {
        _closed.fetch_add(1);
        if (_log != nullptr) {
            _log->Add(_name);
        }
        if (action) {
            action();
        }
    }
    std::string GetUserName() const override { return _name; }
    int Closed() const { return _closed.load(); }

    std::function<void()> action;

private:
    const std::string _name;
    EventLog* const _log;
    std::atomic<int> _closed{0};
};

// A session that counts its live instances in `*live`.
class CountedSession final : public SessionMixin {
public:
    CountedSession(std::string id, std::atomic<int>* live)
        : SessionMixin(std::move(id)), _live(live) {
        _live->fetch_add(1);
    }
    ~CountedSession() override { _live->fetch_sub(1); }

private:
    std::atomic<int>* const _live;
};

// A thread pool that the constructing thread has entered (so that it may cancel the pool's
// timers); shut down and waited for on destruction.
class EnteredThreadPool {
public:
    EnteredThreadPool() {
        System::GetSystemFactory().CreateThreadPool(nullptr, _pool);
        _pool->EnterThread();
    }
    ~EnteredThreadPool() {
        _pool->LeaveThread();
        _pool->Shutdown();
        _pool->WaitForThreads(-1);
    }
    const Ref<System::ThreadPool>& Get() const { return _pool; }

private:
    Ref<System::ThreadPool> _pool;
};

}  // namespace Tarvos::Testing
