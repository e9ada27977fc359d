#include "tarvos/system/internal/AsyncIo.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "tarvos/core/Panic.h"
#include "tarvos/system/internal/ThreadPoolPosix.h"

namespace Tarvos::System {

namespace {

std::mutex g_tcpLoggerMutex;
Ref<Service::Logger> g_tcpLogger;  // guarded by g_tcpLoggerMutex
// Whether g_tcpLogger is set: every completion asks, and almost always nobody traces.
std::atomic<bool> g_tcpLoggerSet{false};

struct Completion {
    IoOperation* operation;
    int64_t bytes;
    int error;
};

}  // namespace

ThreadPoolPosix* AssociateWithCurrentPool(int fd, const Ref<IoCompletionHandler>& handler,
                                          Ref<IoRegistration>& registration) {
    ThreadPoolPosix* pool = ThreadPoolPosix::CurrentPool();
    if (pool == nullptr) {
        close(fd);
        throw WrongThreadException();
    }
    try {
        pool->AssociateHandle(fd, handler, registration);
    } catch (...) {
        close(fd);
        throw;
    }
    return pool;
}

void SetTcpTraceLogger(const Ref<Service::Logger>& logger) {
    Ref<Service::Logger> previous;
    std::lock_guard<std::mutex> guard(g_tcpLoggerMutex);
    previous = std::move(g_tcpLogger);
    g_tcpLogger = logger;
    g_tcpLoggerSet.store(static_cast<bool>(logger), std::memory_order_release);
}

Ref<Service::Logger> GetTcpTraceLogger() {
    if (!g_tcpLoggerSet.load(std::memory_order_acquire)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_tcpLoggerMutex);
    return g_tcpLogger;
}

IoRegistration::IoRegistration(ThreadPoolPosix* pool, int fd,
                               const Ref<IoCompletionHandler>& handler, uint64_t slotKey)
    : _pool(pool), _fd(fd), _handler(handler), _slotKey(slotKey) {}

IoRegistration::~IoRegistration() = default;

bool IoRegistration::IsCanceled() const {
    std::lock_guard<std::mutex> guard(_mutex);
    return _canceled;
}

void IoRegistration::Start(IoOperation* operation) {
    TARVOS_VERIFY(operation != nullptr);
    const auto direction = static_cast<size_t>(operation->GetDirection());
    std::unique_lock<std::mutex> guard(_mutex);
    TARVOS_VERIFY(_pending[direction] == nullptr);
    if (_canceled) {
        guard.unlock();
        _pool->PostIoCompletion(Ref<IoRegistration>(this), operation, 0, ECANCELED);
        return;
    }
    if (_ready[direction]) {
        int64_t bytes = 0;
        int error = 0;
        if (operation->Perform(_fd, bytes, error)) {
            _ready[direction] = !operation->Drained(bytes, error);
            guard.unlock();
            // Completed at once; still delivered through the completion queue.
            _pool->PostIoCompletion(Ref<IoRegistration>(this), operation, bytes, error);
            return;
        }
        _ready[direction] = false;
    }
    // The next readiness edge performs it (OnReady).
    _pending[direction] = operation;
}

void IoRegistration::Cancel() {
    IoOperation* canceled[2] = {nullptr, nullptr};
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_canceled) {
            return;
        }
        _canceled = true;
        canceled[0] = _pending[0];
        canceled[1] = _pending[1];
        _pending[0] = _pending[1] = nullptr;
        _pool->RemoveIo(_fd);
    }
    const Ref<IoRegistration> self(this);
    _pool->ReleaseIoSlot(_slotKey);
    for (IoOperation* operation : canceled) {
        if (operation != nullptr) {
            _pool->PostIoCompletion(self, operation, 0, ECANCELED);
        }
    }
}

uint64_t IoRegistration::BeginDirectTransfer(IoOperation::Direction direction) const noexcept {
    return _edges[static_cast<size_t>(direction)].load(std::memory_order_acquire);
}

void IoRegistration::EndDirectTransfer(IoOperation::Direction direction, uint64_t token,
                                       bool drained) {
    if (direction == IoOperation::Direction::Write && !drained) {
        return;  // a write proves nothing the registration keeps
    }
    const auto index = static_cast<size_t>(direction);
    std::lock_guard<std::mutex> guard(_mutex);
    if (direction == IoOperation::Direction::Read) {
        _directReadEpoch = _pool->GetPollEpoch();
    }
    // An edge received since the call began may announce bytes that came after it: then the
    // descriptor stays ready.
    if (drained && _edges[index].load(std::memory_order_relaxed) == token) {
        _ready[index] = false;
    }
}

void IoRegistration::OnReady(uint32_t events, uint64_t epoch) {
    Completion done[2];
    int doneCount = 0;
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_canceled) {
            return;
        }
        static constexpr uint32_t kReadyMask[2] = {EPOLLIN | EPOLLRDHUP, EPOLLOUT};
        for (size_t direction = 0; direction < 2; ++direction) {
            if ((events & (kReadyMask[direction] | EPOLLERR | EPOLLHUP)) == 0) {
                continue;
            }
            _edges[direction].store(_edges[direction].load(std::memory_order_relaxed) + 1,
                                    std::memory_order_release);
            IoOperation* operation = _pending[direction];
            if (operation == nullptr) {
                _ready[direction] = true;  // remembered for the next Start
                continue;
            }
            int64_t bytes = 0;
            int error = 0;
            // The kernel reported the bytes after the latest direct read, and nothing has read
            // since: an operation that only reports them needs no call (a peek per request).
            const bool bytesWait =
                direction == static_cast<size_t>(IoOperation::Direction::Read) &&
                epoch > _directReadEpoch &&
                (events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) == EPOLLIN;
            if ((bytesWait && operation->CompletesOnReadable(bytes)) ||
                operation->Perform(_fd, bytes, error)) {
                done[doneCount++] = Completion{operation, bytes, error};
                _pending[direction] = nullptr;
                _ready[direction] = !operation->Drained(bytes, error);
            } else {
                _ready[direction] = false;  // stays pending until the next edge
            }
        }
    }
    for (int i = 0; i < doneCount; ++i) {
        try {
            _pool->DispatchIoCompletion(*this, done[i].operation, done[i].bytes, done[i].error);
        } catch (...) {
            _pool->ReportUnhandled("completion");
        }
    }
}

}  // namespace Tarvos::System
