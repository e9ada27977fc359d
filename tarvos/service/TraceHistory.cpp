#include "tarvos/service/internal/TraceHistory.h"

#include <cstdio>
#include <vector>

namespace Tarvos::Service {

static_assert((TraceHistory::kSize & (TraceHistory::kSize - 1)) == 0,
              "the slot arithmetic needs a power of two");

namespace {
constexpr uint32_t kMask = TraceHistory::kSize - 1;
}  // namespace

void TraceHistory::Record(int64_t threadId, uintptr_t address) noexcept {
    if (address == 0) {
        return;
    }
    // A plain load and store rather than an atomic increment: the locked instruction alone
    // would cost more than the rest of a disabled Log call. Racing recorders may claim one
    // slot twice (one record is lost) or move the index back by a few slots; see invariant 2.
    const uint32_t count = _next.load(std::memory_order_relaxed);
    _next.store(count + 1, std::memory_order_relaxed);
    const uint32_t slot = count & kMask;
    Entry& following = _entries[(slot + 1) & kMask];
    following.address.store(0, std::memory_order_relaxed);
    following.threadId.store(0, std::memory_order_relaxed);
    _entries[slot].threadId.store(threadId, std::memory_order_relaxed);
    _entries[slot].address.store(address, std::memory_order_relaxed);
}

void TraceHistory::AppendEntry(std::string& out, int64_t threadId, uintptr_t address) {
    char text[64];
    const int length = std::snprintf(text, sizeof text, "Thread: %016llx EIP : %08llx",
                                     static_cast<unsigned long long>(threadId),
                                     static_cast<unsigned long long>(address));
    out.append(text, static_cast<size_t>(length));
}

void TraceHistory::LogHistory(Logger& logger) const {
    // Copy first: the walk must not race with the lines it writes.
    struct Item {
        int64_t threadId;
        uintptr_t address;
    };
    std::vector<Item> items;
    items.reserve(kSize - 1);
    const uint32_t newest = (_next.load(std::memory_order_relaxed) - 1) & kMask;
    for (uint32_t back = 0; back < kSize - 1; ++back) {
        const Entry& entry = _entries[(newest - back) & kMask];
        const uintptr_t address = entry.address.load(std::memory_order_relaxed);
        if (address == 0) {
            break;
        }
        items.push_back({entry.threadId.load(std::memory_order_relaxed), address});
    }
    if (!logger.IsEnabled(kHistoryLevel)) {
        return;
    }
    std::string line;
    for (const Item& item : items) {
        line.clear();
        AppendEntry(line, item.threadId, item.address);
        logger.BeginMessage(kHistoryLevel);
        try {
            logger.WriteString(line.data(), static_cast<int32_t>(line.size()));
        } catch (...) {
            logger.EndMessage();
            throw;
        }
        logger.EndMessage();
    }
}

void TraceHistory::WriteHistory(Writer& out) const {
    std::string text = "\n****** EIP HISTORY ******\n";
    text.reserve(text.size() + kSize * 48);
    for (const Entry& entry : _entries) {
        AppendEntry(text, entry.threadId.load(std::memory_order_relaxed),
                    entry.address.load(std::memory_order_relaxed));
        text += "\r\n";
    }
    out.Write(text.data(), static_cast<int32_t>(text.size()));
}

}  // namespace Tarvos::Service
