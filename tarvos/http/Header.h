#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"
#include "tarvos/http/Cookie.h"

namespace Tarvos::Http {

// The field set of an HTTP message: fields by name, the content length and the cookies.
//
// Field names are unique and compared without regard to ASCII case; the fields are kept (and
// serialised) in that case-insensitive alphabetical order. A name keeps the spelling it was
// last set with. Clearing keeps the storage of earlier fields, so a header object that is reused
// for message after message stops allocating once its strings have grown to the usual sizes.
//
// Thread-safety: externally synchronised (header objects are not locked; they belong to the
// request or response that holds them).
class TARVOS_API Header : public ObjectImpl {
public:
    Header();
    ~Header() override;

    // Parses a block of field lines (the text after a start line) into this header, adding to
    // the fields already present. Lines are separated by CR LF; a line beginning with a space or
    // tab continues the previous line (appended unchanged). A line is split at its first ":" into
    // name and value, both trimmed of white space; a name already present keeps its first value;
    // lines without ":" are ignored. Then:
    //  - the content length is the value of "Content-Length" (0 without the field); a value that
    //    is not a decimal number throws NumberFormatException (NumberRangeException beyond 64
    //    bits), a negative one MalformedHeaderException "Content-Length is a negative value";
    //  - the "Cookie" field is split into cookies ("$" pieces are attributes of the cookie
    //    before them; see ParseCookie), which are appended to the cookie list, and the field
    //    itself is removed.
    virtual void ParseFields(std::string_view text);

    // The value of field `name` into `value`; false (value unchanged) when absent.
    bool GetHeaderValue(std::string_view name, std::string& value) const;
    // The value of field `name`, or null when absent; valid until the header changes.
    const std::string* FindHeaderValue(std::string_view name) const;
    // Replaces any field of that name (whatever its case) by `name`: `value`.
    void SetHeaderValue(std::string_view name, std::string_view value);
    // Removes the field `name`, if present.
    void RemoveHeader(std::string_view name);
    // Empties the fields and the cookie list; the content length becomes 0.
    virtual void ClearHeader();
    // False exactly when a "Connection" field holds "close" (byte for byte); true otherwise.
    bool IsKeepAlive() const;

    int64_t GetContentLength() const noexcept { return _contentLength; }
    void SetContentLength(int64_t length) noexcept { _contentLength = length; }

    // The cookies in arrival (or insertion) order.
    const std::deque<Ref<Cookie>>& GetCookies() const noexcept { return _cookies; }
    void AddCookie(const Ref<Cookie>& cookie) { _cookies.push_back(cookie); }

    // The fields in their order: index 0 .. GetFieldCount() - 1.
    size_t GetFieldCount() const noexcept { return _order.size(); }
    const std::string& GetFieldName(size_t index) const { return _slots[Slot(index)].name; }
    const std::string& GetFieldValue(size_t index) const { return _slots[Slot(index)].value; }

private:
    struct Field {
        std::string name;
        std::string value;
    };

    // Position in _order of the first field not below `name`, and whether it has that name.
    size_t LowerBound(std::string_view name, bool& found) const;
    // Fills the next free slot and returns its number (not yet in _order).
    uint32_t FillSlot(std::string_view name, std::string_view value);
    // Removes the field at `position` of _order.
    void RemoveAt(size_t position);
    // Adds the field of one line behind the ordered ones; SortFields orders it.
    void AppendFieldLine(std::string_view line);
    // Sorts _order by name and, of equal names, keeps the field that came first.
    void SortFields();
    void SplitCookies(std::string_view text);
    uint32_t Slot(size_t index) const;

    // Slots [0, GetFieldCount()) hold the fields in arrival order (a removal moves the last one
    // into the gap); slots behind them keep the strings of earlier fields for reuse. _order
    // lists the live slots sorted by name, so reordering moves small integers, never strings.
    std::vector<Field> _slots;
    std::vector<uint32_t> _order;
    // Scratch of SortFields: which slots are live (kept between calls to avoid allocation).
    std::vector<uint8_t> _slotUsed;
    int64_t _contentLength = 0;
    std::deque<Ref<Cookie>> _cookies;
};

}  // namespace Tarvos::Http
