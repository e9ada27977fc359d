#include "tarvos/service/internal/LogSink.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "tarvos/core/DateTime.h"
#include "tarvos/system/Mutex.h"
#include "tarvos/system/SystemFactory.h"

namespace Tarvos::Service {

namespace {

constexpr int64_t kMicrosPerSecond = 1000000;
// A line buffer that grew past this for one huge message is given back afterwards.
constexpr size_t kKeptLineCapacity = 64 * 1024;

// What a thread reuses for every line it logs: its kernel thread id, and the local time text of
// the last second it logged in. Local time changes its offset only on whole seconds, so one
// conversion serves a whole second.
struct ThreadStamp {
    int64_t threadId = ::syscall(SYS_gettid);
    int64_t second = std::numeric_limits<int64_t>::min();
    // "CCYY-MM-DD hh:mm:ss." of `second`.
    char secondText[24] = {};
    size_t secondLength = 0;
};

ThreadStamp& ThisThread() noexcept {
    thread_local ThreadStamp stamp;
    return stamp;
}

uintptr_t ThisThreadHandle() noexcept {
    return static_cast<uintptr_t>(::pthread_self());
}

// Writes "[" + the log form of `now` + " '" into `out`; returns the length.
size_t FormatLineStart(ThreadStamp& self, int64_t now, char* out) {
    int64_t second = now / kMicrosPerSecond;
    int64_t micros = now % kMicrosPerSecond;
    if (micros < 0) {
        --second;
        micros += kMicrosPerSecond;
    }
    if (second != self.second) {
        std::string form;
        DateTime::Local(second * kMicrosPerSecond).AppendLogForm(form);
        self.secondLength = std::min(form.size() - 3, sizeof self.secondText);
        std::memcpy(self.secondText, form.data(), self.secondLength);
        self.second = second;
    }
    size_t length = 0;
    out[length++] = '[';
    std::memcpy(out + length, self.secondText, self.secondLength);
    length += self.secondLength;
    const auto millis = static_cast<int32_t>(micros / 1000);
    out[length++] = static_cast<char>('0' + millis / 100);
    out[length++] = static_cast<char>('0' + millis / 10 % 10);
    out[length++] = static_cast<char>('0' + millis % 10);
    out[length++] = ' ';
    out[length++] = '\'';
    return length;
}

// Writes "' " + level name + " " + thread id + "] " into `out`; returns the length.
size_t FormatLineEnd(const ThreadStamp& self, int32_t level, char* out, size_t capacity) {
    const char* const levelName = GetLogLevelName(level);
    const size_t levelLength = std::strlen(levelName);
    size_t length = 0;
    out[length++] = '\'';
    out[length++] = ' ';
    std::memcpy(out + length, levelName, levelLength);
    length += levelLength;
    out[length++] = ' ';
    const auto result = std::to_chars(out + length, out + capacity - 2, self.threadId);
    length = static_cast<size_t>(result.ptr - out);
    out[length++] = ']';
    out[length++] = ' ';
    return length;
}

}  // namespace

LogSink::LogSink(const Ref<Writer>& output) : _outputLock(System::NewMutex()), _output(output) {
    _line.reserve(256);
}

LogSink::~LogSink() = default;

bool LogSink::HeldByCaller() const noexcept {
    return _owner.load(std::memory_order_relaxed) == ThisThreadHandle();
}

void LogSink::LockOutput() {
    _outputLock->Lock();
    _owner.store(ThisThreadHandle(), std::memory_order_relaxed);
}

void LogSink::UnlockOutput() noexcept {
    _owner.store(0, std::memory_order_relaxed);
    _outputLock->Unlock();
}

void LogSink::BeginLine(const std::string& name, int32_t level) {
    if (HeldByCaller()) {
        ++_nested;
        return;
    }
    // Everything but the name is prepared before the lock, to keep the time other threads wait
    // short. The time is therefore taken just before the lock: lines of different threads may
    // show their times a few microseconds out of order.
    ThreadStamp& self = ThisThread();
    char start[48];
    const size_t startLength = FormatLineStart(self, GetSystemTimeMicros(), start);
    char end[48];
    const size_t endLength = FormatLineEnd(self, level, end, sizeof end);
    LockOutput();
    try {
        _lineLevel = level;
        _line.append(start, startLength);
        _line += name;
        _line.append(end, endLength);
    } catch (...) {
        _line.clear();
        UnlockOutput();
        throw;
    }
}

void LogSink::Append(const char* data, size_t length) {
    if (!HeldByCaller()) {
        // Text written to a logger as a plain Writer, outside a message.
        if (!_output) {
            return;
        }
        LockOutput();
        try {
            _output->Write(data, static_cast<int32_t>(length));
        } catch (...) {
            UnlockOutput();
            throw;
        }
        UnlockOutput();
        return;
    }
    if (_nested == 0) {
        _line.append(data, length);
    }
}

void LogSink::EndLine() noexcept {
    if (!HeldByCaller()) {
        return;
    }
    if (_nested > 0) {
        --_nested;
        return;
    }
    try {
        _line += "\r\n";
        if (_output) {
            const char* data = _line.data();
            size_t left = _line.size();
            while (left > 0) {
                const size_t part = std::min<size_t>(left, std::numeric_limits<int32_t>::max());
                _output->Write(data, static_cast<int32_t>(part));
                data += part;
                left -= part;
            }
            if (_lineLevel <= LogLevel::Warning) {
                _output->Flush();
            }
        }
    } catch (...) {
        // The line is lost; the caller is not failed for it.
    }
    _line.clear();
    if (_line.capacity() > kKeptLineCapacity) {
        _line.shrink_to_fit();
    }
    UnlockOutput();
}

void LogSink::Flush() {
    if (!_output) {
        return;
    }
    if (HeldByCaller()) {
        _output->Flush();
        return;
    }
    LockOutput();
    try {
        _output->Flush();
    } catch (...) {
        UnlockOutput();
        throw;
    }
    UnlockOutput();
}

}  // namespace Tarvos::Service
