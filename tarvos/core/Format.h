#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "tarvos/core/DateTime.h"
#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"

// Positional message formatting.
//
// A format text holds placeholders %1 to %9 (single digits) that stand for the arguments in
// order; "%%" writes one percent sign, a percent sign followed by any other character is kept
// with that character, and a percent sign at the very end is dropped. Arguments may be used in
// any order, several times, or not at all. A placeholder beyond the last argument throws
// InvalidFormatStringException whose message is the whole format text.
//
// Every argument is rendered before the format is scanned, so a failing argument throws before
// anything is written. Argument kinds and their default forms: bool ("true"/"false"), 32-bit
// integers ("%d"), 64-bit integers ("%lld"), C strings (null prints "(null)"), std::string and
// std::string_view (by length, embedded zero bytes included), objects by Ref or pointer (their
// ToString, null prints "(null)"), untyped pointers ("%8p", null prints "(null)"), float ("%f"),
// double ("%g"), TimeStamp (local log form), DateTime (log form) and DateTimeIso (ISO 8601 form).
// WithFormat(printfForm, value) gives a number or pointer another printf form; a form that does
// not suit the value's kind, or output beyond the kind's limit, throws
// InvalidFormatStringException with the form as message.
//
// Further argument kinds are added by specialising FormatArgMaker<T> (see below).

namespace Tarvos {

// Where a printer renders one argument: a small inline buffer, a borrowed view of text that
// outlives the formatting call, or an owned string for long output.
class TARVOS_API FormatBuffer {
public:
    static constexpr size_t kInlineCapacity = 56;

    FormatBuffer() noexcept = default;
    FormatBuffer(const FormatBuffer&) = delete;
    FormatBuffer& operator=(const FormatBuffer&) = delete;

    // Borrows text that stays valid until the formatting call returns.
    void SetView(const char* data, size_t size) noexcept {
        _data = data;
        _size = size;
    }
    // Copies text.
    void Assign(const char* data, size_t size);
    void Assign(std::string&& text) {
        _owned = std::move(text);
        SetView(_owned.data(), _owned.size());
    }
    // Room for `capacity` bytes of direct output; finish with Commit.
    char* InlineSpace() noexcept { return _inline; }
    void Commit(size_t size) noexcept { SetView(_inline, size); }

    std::string_view View() const noexcept { return {_data, _size}; }

private:
    const char* _data = "";
    size_t _size = 0;
    std::string _owned;
    char _inline[kInlineCapacity];
};

// One formatter argument: a printer function, eight bytes of stored value and an optional printf
// form (null for the kind's default). Arguments borrow what they point to: they live only for
// the duration of one formatting call.
class TARVOS_API FormatArg {
public:
    using Printer = void (*)(const FormatArg& arg, FormatBuffer& out);

    union Value {
        bool b;
        int64_t i;
        uint64_t u;
        float f;
        double d;
        const void* p;
    };

    // The extension point: a printer of one's own over a borrowed value.
    FormatArg(Printer printer, const void* value, const char* printfForm = nullptr) noexcept
        : _printer(printer), _format(printfForm) {
        _value.p = value;
    }

    FormatArg(bool v) noexcept;
    FormatArg(int32_t v) noexcept;
    FormatArg(uint32_t v) noexcept;
    FormatArg(long v) noexcept;
    FormatArg(unsigned long v) noexcept;
    FormatArg(long long v) noexcept;
    FormatArg(unsigned long long v) noexcept;
    FormatArg(short v) noexcept : FormatArg(static_cast<int32_t>(v)) {}
    FormatArg(unsigned short v) noexcept : FormatArg(static_cast<uint32_t>(v)) {}
    FormatArg(char v) noexcept : FormatArg(static_cast<int32_t>(v)) {}
    FormatArg(signed char v) noexcept : FormatArg(static_cast<int32_t>(v)) {}
    FormatArg(unsigned char v) noexcept : FormatArg(static_cast<uint32_t>(v)) {}
    FormatArg(float v) noexcept;
    FormatArg(double v) noexcept;
    FormatArg(const char* v) noexcept;
    FormatArg(const std::string& v) noexcept;
    FormatArg(const std::string_view& v) noexcept;
    FormatArg(const Object* v) noexcept;
    template <std::derived_from<Object> T>
    FormatArg(const Ref<T>& v) noexcept : FormatArg(static_cast<const Object*>(v.Get())) {}
    FormatArg(const void* v) noexcept;
    FormatArg(std::nullptr_t) noexcept : FormatArg(static_cast<const void*>(nullptr)) {}
    FormatArg(const TimeStamp& v) noexcept;
    FormatArg(const DateTime& v) noexcept;
    FormatArg(const DateTimeIso& v) noexcept;

    // Renders into `out`; throws InvalidFormatStringException for a failed printf conversion.
    void Render(FormatBuffer& out) const { _printer(*this, out); }

    Printer GetPrinter() const noexcept { return _printer; }
    const Value& GetValue() const noexcept { return _value; }
    const char* GetPrintfForm() const noexcept { return _format; }
    // Returns a copy of this argument with another printf form.
    FormatArg WithPrintfForm(const char* printfForm) const noexcept {
        FormatArg copy = *this;
        copy._format = printfForm;
        return copy;
    }

private:
    FormatArg() noexcept = default;

    Printer _printer = nullptr;
    Value _value{};
    const char* _format = nullptr;
};

// Specialise with `static FormatArg Make(const T&)` to format a further argument kind T.
template <class T>
struct FormatArgMaker;

// Converts one argument: a FormatArgMaker specialisation wins over the built-in kinds.
template <class T>
FormatArg ToFormatArg(const T& value) {
    if constexpr (requires { FormatArgMaker<T>::Make(value); }) {
        return FormatArgMaker<T>::Make(value);
    } else {
        return FormatArg(value);
    }
}

// `value` printed with printf form `printfForm` (for example "%08x", "%.2f", "%I64d").
template <class T>
FormatArg WithFormat(const char* printfForm, const T& value) {
    return ToFormatArg(value).WithPrintfForm(printfForm);
}

// The untemplated cores behind Format and FormatString: `count` arguments (0 to 9).
TARVOS_API void FormatArgs(Writer& out, std::string_view format, const FormatArg* args, int count);
TARVOS_API std::string FormatArgsToString(std::string_view format, const FormatArg* args,
                                          int count);
// Appends the formatted text to `out`; on failure `out` is left as it was.
TARVOS_API void FormatArgsAppend(std::string& out, std::string_view format, const FormatArg* args,
                                 int count);

// Writes the formatted message to `out`.
template <class... A>
void Format(Writer& out, std::string_view format, const A&... args) {
    static_assert(sizeof...(A) >= 1 && sizeof...(A) <= 9, "Format takes 1 to 9 arguments");
    const FormatArg list[] = {ToFormatArg(args)...};
    FormatArgs(out, format, list, static_cast<int>(sizeof...(A)));
}

// Returns the formatted message.
template <class... A>
std::string FormatString(std::string_view format, const A&... args) {
    static_assert(sizeof...(A) >= 1 && sizeof...(A) <= 9, "FormatString takes 1 to 9 arguments");
    const FormatArg list[] = {ToFormatArg(args)...};
    return FormatArgsToString(format, list, static_cast<int>(sizeof...(A)));
}

}  // namespace Tarvos
