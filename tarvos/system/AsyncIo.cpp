#include "tarvos/system/internal/AsyncIo.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include "tarvos/core/Panic.h"
#include "tarvos/system/internal/ThreadPoolPosix.h"

namespace Tarvos::System {

namespace {

std::mutex g_tcpLoggerMutex;
Ref<Service::Logger> g_tcpLogger;  // guarded by g_tcpLoggerMutex

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
}

Ref<Service::Logger> GetTcpTraceLogger() {
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

void IoRegistration::ArmLocked() {
    uint32_t events = 0;
    if (_pending[0] != nullptr) {
        events |= EPOLLIN | EPOLLRDHUP;
    }
    if (_pending[1] != nullptr) {
        events |= EPOLLOUT;
    }
    if (events != 0) {
        _pool->ArmIo(_fd, events, _slotKey);
    }
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
    if (operation->AttemptAtStart()) {
        int64_t bytes = 0;
        int error = 0;
        if (operation->Perform(_fd, bytes, error)) {
            guard.unlock();
            // Completed at once; still delivered through the completion queue.
            _pool->PostIoCompletion(Ref<IoRegistration>(this), operation, bytes, error);
            return;
        }
    }
    _pending[direction] = operation;
    try {
        ArmLocked();
    } catch (...) {
        _pending[direction] = nullptr;
        throw;
    }
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

void IoRegistration::OnReady(uint32_t events) {
    Completion done[2];
    int doneCount = 0;
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_canceled) {
            return;
        }
        static constexpr uint32_t kReadyMask[2] = {EPOLLIN | EPOLLRDHUP, EPOLLOUT};
        for (size_t direction = 0; direction < 2; ++direction) {
            IoOperation* operation = _pending[direction];
            if (operation == nullptr ||
                (events & (kReadyMask[direction] | EPOLLERR | EPOLLHUP)) == 0) {
                continue;
            }
            int64_t bytes = 0;
            int error = 0;
            if (operation->Perform(_fd, bytes, error)) {
                done[doneCount++] = Completion{operation, bytes, error};
                _pending[direction] = nullptr;
            }
        }
        try {
            ArmLocked();
        } catch (const SystemException& failure) {
            // The descriptor can no longer be watched: what is pending fails with that error.
            for (IoOperation*& operation : _pending) {
                if (operation != nullptr) {
                    done[doneCount++] = Completion{operation, 0, failure.GetErrorCode()};
                    operation = nullptr;
                }
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
