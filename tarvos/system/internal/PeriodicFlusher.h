#pragma once

namespace Tarvos::System {

// Something that buffers output and wants it written out when the process goes quiet.
class PeriodicFlushClient {
public:
    // Writes out what is buffered and finishes pending housekeeping. Runs on the flusher thread
    // with the registry lock held; must not throw and must not register or unregister clients.
    // It may wait for a lock of the client only if no holder of that lock ever waits for the
    // registry lock (WakePeriodicFlush does not take it).
    virtual void FlushIdle() noexcept = 0;

protected:
    ~PeriodicFlushClient() = default;
};

// The process-wide flusher: one thread, started with the first registration, calls FlushIdle on
// every registered client about every kPeriodicFlushMillis. At process exit (atexit) it is
// stopped and joined after a last round; clients registered afterwards are not flushed in the
// background any more (their own Flush and Close still work).
inline constexpr int kPeriodicFlushMillis = 200;

// Adds `client`; it must stay valid until UnregisterPeriodicFlush returns. Thread-safe.
void RegisterPeriodicFlush(PeriodicFlushClient* client) noexcept;
// Starts the next round soon instead of at the end of the period. Takes no lock, so it may be
// called with any lock held; a wake that races with the start of a wait is caught by the period.
void WakePeriodicFlush() noexcept;
// Removes `client`; when it returns, no FlushIdle call on `client` is running or will start.
// Thread-safe; must not be called from FlushIdle.
void UnregisterPeriodicFlush(PeriodicFlushClient* client) noexcept;

}  // namespace Tarvos::System
