#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

namespace Tarvos::System {

// The timer queue of one thread (the pool's timer thread): timers due within the horizon sit in
// a wheel of slots one granularity wide, later ones in a heap from which they move into the
// wheel as the horizon reaches them. Adding is constant time; collecting costs the due timers
// plus a scan of the occupancy bitmap, and the order among collected timers is exactly
// (due, sequence).
//
// Times are microseconds on one monotonic clock. `Entry` is what the owner keeps per timer; a
// timer whose entry says it is no longer pending (`entry->IsPending()` false: cancelled) is
// still collected when due, and swept from the heap when the heap has grown.
//
// Invariants:
//  1. Every timer in the wheel has a tick (due / granularity, raised to _base when earlier) in
//     [_base, _base + slot count); slot index = tick mod slot count, so a slot holds one tick.
//  2. Every timer in the heap has a tick >= _base + slot count at the time it was placed there;
//     CollectDue moves heap timers into the wheel (or out, when due) once the horizon passes
//     them, so the heap never holds a timer earlier than any in the wheel.
//  3. A bit of _occupied is set exactly when its slot is not empty.
//
// Confined to one thread.
template <class Entry>
class TimerWheel {
public:
    struct Item {
        int64_t due;
        uint64_t sequence;
        Entry entry;
    };

    // `startTime` is the current time; timers due before it are due at once.
    TimerWheel(int64_t granularity, uint32_t slotBits, int64_t startTime)
        : _granularity(granularity),
          _slotCount(int64_t{1} << slotBits),
          _slots(static_cast<size_t>(_slotCount)),
          _occupied(static_cast<size_t>((_slotCount + 63) / 64)),
          _base(startTime / granularity) {}

    void Add(Item item) {
        const int64_t tick = std::max(TickOf(item.due), _base);
        if (tick >= _base + _slotCount) {
            _far.push_back(std::move(item));
            std::push_heap(_far.begin(), _far.end(), Later());
            if (_far.size() > _farSweepAt) {
                SweepFar();
            }
            return;
        }
        Put(tick, std::move(item));
    }

    // Appends every timer due at `now` to `out` in (due, sequence) order.
    void CollectDue(int64_t now, std::vector<Item>& out) {
        const size_t first = out.size();
        const int64_t nowTick = TickOf(now);
        if (nowTick >= _base) {
            const int64_t last = std::min(nowTick, _base + _slotCount - 1);
            for (int64_t tick = NextOccupied(_base, last); tick <= last;
                 tick = NextOccupied(tick + 1, last)) {
                std::vector<Item>& slot = SlotOf(tick);
                if (tick < nowTick) {
                    // The whole slot lies before the current tick: everything in it is due.
                    std::move(slot.begin(), slot.end(), std::back_inserter(out));
                    slot.clear();
                } else {
                    auto notDue = std::partition(slot.begin(), slot.end(),
                                                 [now](const Item& i) { return i.due <= now; });
                    std::move(slot.begin(), notDue, std::back_inserter(out));
                    slot.erase(slot.begin(), notDue);
                }
                if (slot.empty()) {
                    ClearBit(tick);
                }
            }
            _base = nowTick;
        }
        // The horizon moved: far timers it reached go into the wheel, or out when already due.
        while (!_far.empty() && TickOf(_far.front().due) < _base + _slotCount) {
            std::pop_heap(_far.begin(), _far.end(), Later());
            Item item = std::move(_far.back());
            _far.pop_back();
            if (item.due <= now) {
                out.push_back(std::move(item));
            } else {
                Put(std::max(TickOf(item.due), _base), std::move(item));
            }
        }
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(), Earlier());
    }

    // The earliest due time held, or INT64_MAX when empty.
    int64_t NextDue() const {
        const int64_t tick = NextOccupied(_base, _base + _slotCount - 1);
        if (tick < _base + _slotCount) {
            const std::vector<Item>& slot = _slots[static_cast<size_t>(tick & (_slotCount - 1))];
            int64_t earliest = INT64_MAX;
            for (const Item& item : slot) {
                earliest = std::min(earliest, item.due);
            }
            return earliest;
        }
        return _far.empty() ? INT64_MAX : _far.front().due;
    }

    // Hands every timer to `visit` and empties the queue.
    template <class Visit>
    void Drain(Visit&& visit) {
        for (std::vector<Item>& slot : _slots) {
            for (Item& item : slot) {
                visit(item);
            }
            slot.clear();
        }
        for (Item& item : _far) {
            visit(item);
        }
        _far.clear();
        std::fill(_occupied.begin(), _occupied.end(), 0);
    }

private:
    struct Earlier {
        bool operator()(const Item& a, const Item& b) const noexcept {
            return a.due != b.due ? a.due < b.due : a.sequence < b.sequence;
        }
    };
    struct Later {
        bool operator()(const Item& a, const Item& b) const noexcept { return Earlier()(b, a); }
    };

    int64_t TickOf(int64_t time) const noexcept {
        return time >= 0 ? time / _granularity : (time - _granularity + 1) / _granularity;
    }
    std::vector<Item>& SlotOf(int64_t tick) {
        return _slots[static_cast<size_t>(tick & (_slotCount - 1))];
    }
    void Put(int64_t tick, Item&& item) {
        SlotOf(tick).push_back(std::move(item));
        const auto index = static_cast<size_t>(tick & (_slotCount - 1));
        _occupied[index / 64] |= uint64_t{1} << (index % 64);
    }
    void ClearBit(int64_t tick) {
        const auto index = static_cast<size_t>(tick & (_slotCount - 1));
        _occupied[index / 64] &= ~(uint64_t{1} << (index % 64));
    }
    // The first tick in [from, last] whose slot is occupied, or last + 1.
    int64_t NextOccupied(int64_t from, int64_t last) const {
        while (from <= last) {
            const auto index = static_cast<size_t>(from & (_slotCount - 1));
            const uint64_t bits = _occupied[index / 64] >> (index % 64);
            if (bits != 0) {
                // Bits beyond the wheel's last slot are never set, so the first set bit is a slot
                // before the wrap-around.
                const int64_t tick = from + std::countr_zero(bits);
                return tick <= last ? tick : last + 1;
            }
            // To the next word, or to the wrap-around of a wheel smaller than one word.
            from += std::min(static_cast<int64_t>(64 - index % 64),
                             _slotCount - static_cast<int64_t>(index));
        }
        return last + 1;
    }
    // Drops cancelled timers from the heap once it has doubled since the last sweep: timers that
    // are cancelled and scheduled again and again (expiry timers) cannot pile up.
    void SweepFar() {
        std::erase_if(_far, [](const Item& item) { return !item.entry->IsPending(); });
        std::make_heap(_far.begin(), _far.end(), Later());
        _farSweepAt = std::max<size_t>(1024, 2 * _far.size());
    }

    const int64_t _granularity;
    const int64_t _slotCount;
    std::vector<std::vector<Item>> _slots;
    std::vector<uint64_t> _occupied;
    int64_t _base;
    std::vector<Item> _far;
    size_t _farSweepAt = 1024;
};

}  // namespace Tarvos::System
