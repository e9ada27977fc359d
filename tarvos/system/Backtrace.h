#pragma once

#include <string>

#include "tarvos/core/Object.h"

namespace Tarvos::System {

// A call stack captured when the object was made (by SystemFactory::CreateBacktrace). Frame 0 is
// the innermost frame. Symbol names are resolved lazily, when a text is first asked for.
//
// Thread-safety: immutable once captured; safe for concurrent use.
class TARVOS_API Backtrace : public virtual Object {
public:
    // Number of captured frames.
    virtual int GetFrameCount() const = 0;
    // Text of one frame ("module(symbol+offset) [address]"); empty for an index out of range.
    virtual std::string GetFrameText(int index) const = 0;
    // Every frame, one per line.
    virtual std::string GetText() const = 0;
};

// Makes the process write the backtrace of the failing thread to standard error when it dies of
// a fatal signal (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT), then die of that signal as before.
// Installed once; later calls do nothing. Handlers installed earlier by the host are kept and
// called after the backtrace.
TARVOS_API void EnableCrashBacktraces();

}  // namespace Tarvos::System
