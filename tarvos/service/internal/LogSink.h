#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"
#include "tarvos/service/internal/TraceHistory.h"
#include "tarvos/system/LockableObject.h"

namespace Tarvos::Service {

// The output shared by a root logger and every logger created from it: the output lock, the
// output Writer (null: lines are discarded) and the trace history.
//
// A line is assembled in a buffer while the output lock is held (BeginLine, Append) and handed
// to the output in one Write by EndLine, which also flushes the output for lines at level
// warning or more severe. Output failures are dropped there: logging never fails its caller.
//
// Invariants:
//   1. _owner holds the pthread handle of the thread that holds the output lock, or 0. Only
//      that thread stores its own handle, so a thread reads its own handle there exactly while
//      it holds the lock.
//   2. _line, _lineLevel and _nested are touched only by the lock holder.
//   3. A BeginLine on a thread that already holds the lock (the output itself logged to this
//      family) opens a nested line that is discarded with its EndLine; the outer line goes on.
//
// Safe for concurrent use.
class LogSink final : public ObjectImpl {
public:
    explicit LogSink(const Ref<Writer>& output);
    ~LogSink() override;

    // Takes the output lock and starts a line with the header
    // "[" time " '" name "' " level name " " thread id "] ".
    void BeginLine(const std::string& name, int32_t level);
    // Appends message text; without a line open on this thread the text is written to the
    // output on its own, under the lock.
    void Append(const char* data, size_t length);
    // Ends the line with "\r\n", writes it and releases the lock; does nothing without a line
    // open on this thread.
    void EndLine() noexcept;
    // Flushes the output under the lock (or directly, when the caller holds it).
    void Flush();

    // The output lock for callers that change what headers show (a logger's name).
    void LockOutput();
    void UnlockOutput() noexcept;

    TraceHistory& GetHistory() noexcept { return _history; }

private:
    bool HeldByCaller() const noexcept;

    const Ref<System::LockableObject> _outputLock;
    const Ref<Writer> _output;
    TraceHistory _history;
    std::atomic<uintptr_t> _owner{0};

    // Guarded by the output lock.
    std::string _line;
    int32_t _lineLevel = 0;
    int32_t _nested = 0;
};

}  // namespace Tarvos::Service
