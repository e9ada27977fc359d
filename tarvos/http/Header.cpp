#include "tarvos/http/Header.h"

#include <algorithm>
#include <stdexcept>

#include "tarvos/core/NumberConversion.h"
#include "tarvos/http/HttpNames.h"
#include "tarvos/http/MalformedHeaderException.h"
#include "tarvos/http/internal/CookieImpl.h"
#include "tarvos/http/internal/TextUtil.h"

namespace Tarvos::Http {

Header::Header() = default;
Header::~Header() = default;

uint32_t Header::Slot(size_t index) const {
    if (index >= _order.size()) {
        throw std::out_of_range("Header field index");
    }
    return _order[index];
}

size_t Header::LowerBound(std::string_view name, bool& found) const {
    size_t low = 0;
    size_t high = _order.size();
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (internal::CompareNoCase(_slots[_order[middle]].name, name) < 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    found = low < _order.size() && internal::EqualsNoCase(_slots[_order[low]].name, name);
    return low;
}

uint32_t Header::FillSlot(std::string_view name, std::string_view value) {
    const size_t slot = _order.size();
    if (slot == _slots.size()) {
        // The strings are made before the vector may move its elements: `name` or `value` may
        // view a field of this header.
        _slots.push_back(Field{std::string(name), std::string(value)});
    } else {
        _slots[slot].name.assign(name);
        _slots[slot].value.assign(value);
    }
    return static_cast<uint32_t>(slot);
}

void Header::RemoveAt(size_t position) {
    const uint32_t slot = _order[position];
    _order.erase(_order.begin() + static_cast<std::ptrdiff_t>(position));
    const auto last = static_cast<uint32_t>(_order.size());
    if (slot != last) {
        // Keep the live slots contiguous: the last one moves into the gap, and the freed
        // strings go behind them for reuse.
        std::swap(_slots[slot], _slots[last]);
        *std::find(_order.begin(), _order.end(), last) = slot;
    }
}

bool Header::GetHeaderValue(std::string_view name, std::string& value) const {
    const std::string* found = FindHeaderValue(name);
    if (found == nullptr) {
        return false;
    }
    value = *found;
    return true;
}

const std::string* Header::FindHeaderValue(std::string_view name) const {
    bool found = false;
    const size_t position = LowerBound(name, found);
    return found ? &_slots[_order[position]].value : nullptr;
}

void Header::SetHeaderValue(std::string_view name, std::string_view value) {
    bool found = false;
    const size_t position = LowerBound(name, found);
    if (found) {
        Field& field = _slots[_order[position]];
        field.name.assign(name);
        field.value.assign(value);
    } else {
        const uint32_t slot = FillSlot(name, value);
        _order.insert(_order.begin() + static_cast<std::ptrdiff_t>(position), slot);
    }
}

void Header::RemoveHeader(std::string_view name) {
    bool found = false;
    const size_t position = LowerBound(name, found);
    if (found) {
        RemoveAt(position);
    }
}

void Header::ClearHeader() {
    _order.clear();
    _contentLength = 0;
    _cookies.clear();
}

bool Header::IsKeepAlive() const {
    const std::string* connection = FindHeaderValue(kConnection);
    return connection == nullptr || *connection != kClose;
}

void Header::AppendFieldLine(std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        return;
    }
    _order.push_back(
        FillSlot(internal::Trim(line.substr(0, colon)), internal::Trim(line.substr(colon + 1))));
}

void Header::SortFields() {
    // Live slots are numbered in arrival order (fields present before the block come first),
    // so the slot number breaks ties between equal names in favour of the first occurrence.
    // Sorting the whole block at once costs O(n log n); inserting line by line would cost
    // O(n * n) for a header of many short fields.
    std::sort(_order.begin(), _order.end(), [this](uint32_t a, uint32_t b) {
        const int order = internal::CompareNoCase(_slots[a].name, _slots[b].name);
        return order != 0 ? order < 0 : a < b;
    });
    const size_t total = _order.size();
    size_t kept = 0;
    for (size_t i = 0; i < total; ++i) {
        if (kept == 0 ||
            !internal::EqualsNoCase(_slots[_order[kept - 1]].name, _slots[_order[i]].name)) {
            _order[kept++] = _order[i];
        }
    }
    if (kept == total) {
        return;
    }
    _order.resize(kept);
    // The dropped duplicates leave gaps among the first `kept` slots; kept fields living in
    // slots beyond move into them, so the live slots are contiguous again.
    _slotUsed.assign(total, 0);
    for (const uint32_t slot : _order) {
        _slotUsed[slot] = 1;
    }
    uint32_t gap = 0;
    for (uint32_t& slot : _order) {
        if (slot >= kept) {
            while (_slotUsed[gap] != 0) {
                ++gap;
            }
            std::swap(_slots[gap], _slots[slot]);
            _slotUsed[gap] = 1;
            slot = gap;
        }
    }
}

void Header::ParseFields(std::string_view text) {
    // A logical line is usually one physical line and stays a view into `text`; only folded
    // lines are assembled in `folded`.
    const size_t before = _order.size();
    std::string folded;
    std::string_view current;
    bool haveCurrent = false;
    bool currentIsFolded = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        const size_t next = end == std::string_view::npos ? text.size() : end + 2;
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(start, end - start);
        start = next;
        if (haveCurrent && !line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            if (!currentIsFolded) {
                folded.assign(current);
                currentIsFolded = true;
            }
            folded.append(line);
            continue;
        }
        if (haveCurrent) {
            AppendFieldLine(currentIsFolded ? std::string_view(folded) : current);
        }
        current = line;
        haveCurrent = true;
        currentIsFolded = false;
    }
    if (haveCurrent) {
        AppendFieldLine(currentIsFolded ? std::string_view(folded) : current);
    }
    if (_order.size() > before) {
        SortFields();
    }

    _contentLength = 0;
    if (const std::string* length = FindHeaderValue(kContentLength)) {
        const int64_t value = StringToInt64(*length);
        if (value < 0) {
            throw MalformedHeaderException("Content-Length is a negative value");
        }
        _contentLength = value;
    }

    if (const std::string* cookies = FindHeaderValue(kCookie)) {
        SplitCookies(*cookies);
        RemoveHeader(kCookie);
    }
}

void Header::SplitCookies(std::string_view text) {
    // A cookie runs from a piece that is not an attribute up to the next such piece; the "$"
    // pieces in between are its attributes. Each piece is read as ParseCookie reads it.
    Ref<CookieImpl> current;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view piece = internal::Trim(text.substr(start, end - start));
        start = end + 1;
        if (piece.empty()) {
            continue;
        }
        if (piece.front() == '$') {
            // An attribute before any cookie belongs to none (such as a leading "$Version").
            if (current) {
                current->ParsePiece(piece);
            }
        } else {
            current = new CookieImpl();
            current->ParsePiece(piece);
            _cookies.emplace_back(current);
        }
    }
}

}  // namespace Tarvos::Http
