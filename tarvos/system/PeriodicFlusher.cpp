#include "tarvos/system/internal/PeriodicFlusher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace Tarvos::System {

// Design: one registry, leaked on purpose so that writers destroyed during static destruction
// can still unregister. States: idle (no thread yet) -> running (thread started by the first
// registration) -> stopped (the atexit handler joined the thread; never restarted).
//
// Invariants:
//   1. _clients is read and changed only under _mutex; the thread calls FlushIdle with _mutex
//      held, so Unregister returning means no call on that client is running.
//   2. The thread is started at most once, and the atexit handler is installed with it.
//   3. No client calls Register or Unregister while holding a lock that its FlushIdle waits
//      for, so holding _mutex while flushing cannot deadlock; Wake takes no lock at all.
namespace {

class Flusher {
public:
    void Register(PeriodicFlushClient* client) noexcept {
        std::lock_guard<std::mutex> lock(_mutex);
        try {
            _clients.push_back(client);
            if (!_started) {
                _started = true;
                _thread = std::thread([this] { Run(); });
                std::atexit([] { Get().Stop(); });
            }
        } catch (...) {
            // Without a thread (or memory) the client is flushed only by its own Flush and
            // Close, which keeps its data safe.
        }
    }

    void Unregister(PeriodicFlushClient* client) noexcept {
        std::lock_guard<std::mutex> lock(_mutex);
        _clients.erase(std::remove(_clients.begin(), _clients.end(), client), _clients.end());
    }

    void Wake() noexcept {
        _wakeRequested.store(true, std::memory_order_relaxed);
        _wake.notify_all();
    }

    static Flusher& Get() {
        static Flusher* const flusher = new Flusher();
        return *flusher;
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(_mutex);
        while (!_stopping) {
            _wake.wait_for(lock, std::chrono::milliseconds(kPeriodicFlushMillis), [this] {
                return _stopping || _wakeRequested.load(std::memory_order_relaxed);
            });
            _wakeRequested.store(false, std::memory_order_relaxed);
            for (PeriodicFlushClient* client : _clients) {
                client->FlushIdle();
            }
        }
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _stopping = true;
        }
        _wake.notify_all();
        if (_thread.joinable()) {
            _thread.join();
        }
    }

    std::mutex _mutex;
    std::condition_variable _wake;
    std::atomic<bool> _wakeRequested{false};
    // Guarded by _mutex.
    std::vector<PeriodicFlushClient*> _clients;
    bool _started = false;
    bool _stopping = false;
    std::thread _thread;
};

}  // namespace

void RegisterPeriodicFlush(PeriodicFlushClient* client) noexcept {
    Flusher::Get().Register(client);
}

void WakePeriodicFlush() noexcept {
    Flusher::Get().Wake();
}

void UnregisterPeriodicFlush(PeriodicFlushClient* client) noexcept {
    Flusher::Get().Unregister(client);
}

}  // namespace Tarvos::System
