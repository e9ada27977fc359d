#pragma once

namespace Tarvos::System {

// Whether a debugger is attached to the process (TracerPid in /proc/self/status).
bool IsDebuggerAttached() noexcept;

// Stops in the attached debugger (SIGTRAP); without one, writes a line to standard error.
void BreakIntoDebugger() noexcept;

// Leaves a core dump of the process where core dumps are enabled (RLIMIT_CORE not 0), without
// ending the process: a forked copy aborts. Used on the way to PanicExit.
void WriteProcessDump() noexcept;

}  // namespace Tarvos::System
