#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tarvos/core/Writer.h"
#include "tarvos/service/Logger.h"

namespace Tarvos::Service {

// The most recent log call sites of a logger family: a ring of kSize entries (thread id, code
// address; address 0 marks an empty entry) and the position of the next entry to write.
//
// Recording runs on every Log call, enabled or not, from every thread, so it takes no lock and
// no locked instruction: a recorder claims its slot by loading the index and storing it plus
// one, and stores the fields with relaxed atomic stores. Invariants:
//   1. Record clears the entry after the one it writes, so that with one recording thread the
//      entry after the newest is always empty, and a reader walking back from the newest sees
//      at most kSize - 1 entries.
//   2. With several threads recording at once, two recorders may claim one slot (one record is
//      lost), the index may step back by the few slots claimed meanwhile, an entry may briefly
//      pair one record's thread id with another's address, and a late clear may blank a
//      neighbour's fresh entry. The history is a diagnostic aid: every entry still holds some
//      recent record or nothing, and no reader walks past kSize - 1 entries.
//
// Safe for concurrent use.
class TraceHistory {
public:
    static constexpr int32_t kSize = 1024;
    // The level of the lines LogHistory writes.
    static constexpr int32_t kHistoryLevel = LogLevel::Error;

    TraceHistory() = default;
    TraceHistory(const TraceHistory&) = delete;
    TraceHistory& operator=(const TraceHistory&) = delete;

    // Records one call site; an address of 0 is ignored.
    void Record(int64_t threadId, uintptr_t address) noexcept;

    // Logs the recorded entries through `logger`, newest first, at most kSize - 1 of them and
    // stopping at the first empty one, one line "Thread: <id> EIP : <address>" each (both in
    // hexadecimal, as WriteHistory prints them). The lines are written directly, so that they do
    // not record call sites themselves.
    void LogHistory(Logger& logger) const;

    // Writes "\n****** EIP HISTORY ******\n" and then every entry in ring order, empty ones
    // included, as "Thread: " + 16 hexadecimal digits + " EIP : " + at least 8 hexadecimal
    // digits + "\r\n" (a 64-bit address that needs more digits gets them).
    void WriteHistory(Writer& out) const;

private:
    struct Entry {
        std::atomic<int64_t> threadId{0};
        std::atomic<uintptr_t> address{0};
    };

    static void AppendEntry(std::string& out, int64_t threadId, uintptr_t address);

    // Counts the records made (modulo races, see above); the slot is the count modulo kSize.
    // Kept on its own cache line, away from the entries.
    alignas(64) std::atomic<uint32_t> _next{0};
    alignas(64) Entry _entries[kSize];
};

}  // namespace Tarvos::Service
