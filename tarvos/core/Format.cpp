#include "tarvos/core/Format.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "tarvos/core/Exception.h"

namespace Tarvos {

namespace {

// What a printf form is applied to; decides the conversions allowed and the length modifier.
enum class Kind { Int32, UInt32, Int64, UInt64, Float, Double, Pointer };

// Most characters one argument of a kind may print.
size_t OutputLimit(Kind kind) {
    switch (kind) {
        case Kind::Int32:
        case Kind::UInt32:
            return 24;
        case Kind::Pointer:
            return 20;
        default:
            return 50;
    }
}

bool ConversionSuits(char conversion, Kind kind) {
    switch (kind) {
        case Kind::Int32:
        case Kind::UInt32:
            return std::strchr("diouxXc", conversion) != nullptr;
        case Kind::Int64:
        case Kind::UInt64:
            // "%c" reads an int, which a 64-bit value is not.
            return std::strchr("diouxX", conversion) != nullptr;
        case Kind::Float:
        case Kind::Double:
            return std::strchr("fFeEgGaA", conversion) != nullptr;
        case Kind::Pointer:
            return conversion == 'p';
    }
    return false;
}

// Copies the decimal number at `p` (possibly none) and advances past it; false when it exceeds
// `bound`.
bool CopyNumber(const char*& p, size_t bound, std::string& normalized) {
    size_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<size_t>(*p - '0');
        if (value > bound) {
            return false;
        }
        normalized += *p;
    }
    return true;
}

// Rebuilds a caller's printf form into one that is safe for a value of `kind`: literal text and
// "%%" are kept, exactly one conversion must be present, its length modifier is replaced by the
// one that matches the stored value ("%I64d" and "%ld" both become "%lld" for 64-bit values), and
// '*' widths or precisions (which would read missing arguments) and widths or precisions beyond
// the kind's output limit are refused.
bool NormalizeForm(const char* form, Kind kind, std::string& normalized) {
    int conversions = 0;
    for (const char* p = form; *p != '\0';) {
        if (*p != '%') {
            normalized += *p++;
            continue;
        }
        if (p[1] == '%') {
            normalized += "%%";
            p += 2;
            continue;
        }
        normalized += *p++;
        while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) {
            normalized += *p++;
        }
        // A width or precision beyond the output limit could never fit, and printf would spend
        // seconds producing it: refuse it here.
        const size_t limit = OutputLimit(kind);
        if (!CopyNumber(p, limit, normalized)) {
            return false;
        }
        if (*p == '.') {
            normalized += *p++;
            if (!CopyNumber(p, limit, normalized)) {
                return false;
            }
        }
        if (*p == '*') {
            return false;
        }
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else {
            while (*p != '\0' && std::strchr("hlLqjztI", *p) != nullptr) {
                ++p;
            }
        }
        const char conversion = *p;
        if (conversion == '\0' || !ConversionSuits(conversion, kind)) {
            return false;
        }
        if (kind == Kind::Int64 || kind == Kind::UInt64) {
            normalized += "ll";
        }
        normalized += conversion;
        ++p;
        ++conversions;
    }
    return conversions == 1;
}

template <class V>
void PrintWithForm(const char* form, Kind kind, V value, FormatBuffer& out) {
    std::string normalized;
    if (!NormalizeForm(form, kind, normalized)) {
        throw InvalidFormatStringException(form);
    }
    // The limit counts printed characters; the buffer also holds the terminating zero.
    const size_t limit = OutputLimit(kind);
    char buffer[64];
    static_assert(sizeof buffer > 50);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int written = std::snprintf(buffer, limit + 1, normalized.c_str(), value);
#pragma GCC diagnostic pop
    if (written < 0 || static_cast<size_t>(written) > limit) {
        throw InvalidFormatStringException(form);
    }
    out.Assign(buffer, static_cast<size_t>(written));
}

template <class I>
void PrintInteger(I value, FormatBuffer& out) {
    char* space = out.InlineSpace();
    const auto result = std::to_chars(space, space + FormatBuffer::kInlineCapacity, value);
    out.Commit(static_cast<size_t>(result.ptr - space));
}

void PrintBool(const FormatArg& arg, FormatBuffer& out) {
    if (arg.GetValue().b) {
        out.SetView("true", 4);
    } else {
        out.SetView("false", 5);
    }
}

void PrintInt32(const FormatArg& arg, FormatBuffer& out) {
    const auto value = static_cast<int32_t>(arg.GetValue().i);
    if (arg.GetPrintfForm() == nullptr) {
        PrintInteger(value, out);
    } else {
        PrintWithForm(arg.GetPrintfForm(), Kind::Int32, value, out);
    }
}

void PrintUInt32(const FormatArg& arg, FormatBuffer& out) {
    const auto value = static_cast<uint32_t>(arg.GetValue().u);
    if (arg.GetPrintfForm() == nullptr) {
        PrintInteger(value, out);
    } else {
        PrintWithForm(arg.GetPrintfForm(), Kind::UInt32, value, out);
    }
}

void PrintInt64(const FormatArg& arg, FormatBuffer& out) {
    const auto value = static_cast<long long>(arg.GetValue().i);
    if (arg.GetPrintfForm() == nullptr) {
        PrintInteger(value, out);
    } else {
        PrintWithForm(arg.GetPrintfForm(), Kind::Int64, value, out);
    }
}

void PrintUInt64(const FormatArg& arg, FormatBuffer& out) {
    const auto value = static_cast<unsigned long long>(arg.GetValue().u);
    if (arg.GetPrintfForm() == nullptr) {
        PrintInteger(value, out);
    } else {
        PrintWithForm(arg.GetPrintfForm(), Kind::UInt64, value, out);
    }
}

void PrintFloat(const FormatArg& arg, FormatBuffer& out) {
    const double value = arg.GetValue().f;
    if (arg.GetPrintfForm() == nullptr) {
        // Same text as printf "%f".
        char* space = out.InlineSpace();
        const auto result = std::to_chars(space, space + FormatBuffer::kInlineCapacity, value,
                                          std::chars_format::fixed, 6);
        if (result.ec == std::errc()) {
            out.Commit(static_cast<size_t>(result.ptr - space));
            return;
        }
        throw InvalidFormatStringException("%f");
    }
    PrintWithForm(arg.GetPrintfForm(), Kind::Float, value, out);
}

void PrintDouble(const FormatArg& arg, FormatBuffer& out) {
    const double value = arg.GetValue().d;
    if (arg.GetPrintfForm() == nullptr) {
        // Same text as printf "%g".
        char* space = out.InlineSpace();
        const auto result = std::to_chars(space, space + FormatBuffer::kInlineCapacity, value,
                                          std::chars_format::general, 6);
        if (result.ec == std::errc()) {
            out.Commit(static_cast<size_t>(result.ptr - space));
            return;
        }
        throw InvalidFormatStringException("%g");
    }
    PrintWithForm(arg.GetPrintfForm(), Kind::Double, value, out);
}

void PrintCString(const FormatArg& arg, FormatBuffer& out) {
    const auto* text = static_cast<const char*>(arg.GetValue().p);
    if (text == nullptr) {
        out.SetView("(null)", 6);
    } else {
        out.SetView(text, std::strlen(text));
    }
}

void PrintStdString(const FormatArg& arg, FormatBuffer& out) {
    const auto* text = static_cast<const std::string*>(arg.GetValue().p);
    out.SetView(text->data(), text->size());
}

void PrintStringView(const FormatArg& arg, FormatBuffer& out) {
    const auto* text = static_cast<const std::string_view*>(arg.GetValue().p);
    out.SetView(text->data(), text->size());
}

void PrintObject(const FormatArg& arg, FormatBuffer& out) {
    const auto* object = static_cast<const Object*>(arg.GetValue().p);
    if (object == nullptr) {
        out.SetView("(null)", 6);
    } else {
        out.Assign(object->ToString());
    }
}

void PrintPointer(const FormatArg& arg, FormatBuffer& out) {
    const void* pointer = arg.GetValue().p;
    if (pointer == nullptr) {
        out.SetView("(null)", 6);
        return;
    }
    if (arg.GetPrintfForm() != nullptr) {
        PrintWithForm(arg.GetPrintfForm(), Kind::Pointer, pointer, out);
        return;
    }
    // "%8p": "0x" and the lower-case hexadecimal address, right-aligned in 8 characters.
    char digits[24] = {'0', 'x'};
    const auto result =
        std::to_chars(digits + 2, digits + sizeof digits, reinterpret_cast<uintptr_t>(pointer), 16);
    const size_t length = static_cast<size_t>(result.ptr - digits);
    char* space = out.InlineSpace();
    const size_t pad = length < 8 ? 8 - length : 0;
    std::memset(space, ' ', pad);
    std::memcpy(space + pad, digits, length);
    out.Commit(pad + length);
}

void PrintTimeStamp(const FormatArg& arg, FormatBuffer& out) {
    const auto* stamp = static_cast<const TimeStamp*>(arg.GetValue().p);
    std::string text;
    DateTime::Local(stamp->micros).AppendLogForm(text);
    out.Assign(std::move(text));
}

void PrintDateTime(const FormatArg& arg, FormatBuffer& out) {
    std::string text;
    static_cast<const DateTime*>(arg.GetValue().p)->AppendLogForm(text);
    out.Assign(std::move(text));
}

void PrintDateTimeIso(const FormatArg& arg, FormatBuffer& out) {
    std::string text;
    static_cast<const DateTime*>(arg.GetValue().p)->AppendIsoForm(text);
    out.Assign(std::move(text));
}

// Scans `format` and appends the result to `out`; `rendered` holds the argument texts.
void Expand(std::string& out, std::string_view format, const FormatBuffer* rendered, int count) {
    const char* p = format.data();
    const char* const end = p + format.size();
    while (p < end) {
        const char* percent = static_cast<const char*>(std::memchr(p, '%', end - p));
        if (percent == nullptr) {
            out.append(p, end);
            return;
        }
        out.append(p, percent);
        if (percent + 1 == end) {
            // A percent sign at the very end is dropped.
            return;
        }
        const char next = percent[1];
        if (next == '%') {
            out += '%';
        } else if (next >= '1' && next <= '9') {
            const int index = next - '1';
            if (index >= count) {
                throw InvalidFormatStringException(std::string(format));
            }
            const std::string_view text = rendered[index].View();
            out.append(text.data(), text.size());
        } else {
            out += '%';
            out += next;
        }
        p = percent + 2;
    }
}

void FormatInto(std::string& out, std::string_view format, const FormatArg* args, int count) {
    if (count < 0 || count > 9) {
        throw InvalidFormatStringException(std::string(format));
    }
    FormatBuffer rendered[9];
    size_t total = format.size();
    for (int i = 0; i < count; ++i) {
        args[i].Render(rendered[i]);
        total += rendered[i].View().size();
    }
    out.reserve(out.size() + total);
    Expand(out, format, rendered, count);
}

}  // namespace

void FormatBuffer::Assign(const char* data, size_t size) {
    if (size <= kInlineCapacity) {
        std::memcpy(_inline, data, size);
        Commit(size);
    } else {
        _owned.assign(data, size);
        SetView(_owned.data(), _owned.size());
    }
}

FormatArg::FormatArg(bool v) noexcept : _printer(PrintBool) {
    _value.b = v;
}
FormatArg::FormatArg(int32_t v) noexcept : _printer(PrintInt32) {
    _value.i = v;
}
FormatArg::FormatArg(uint32_t v) noexcept : _printer(PrintUInt32) {
    _value.u = v;
}
FormatArg::FormatArg(long v) noexcept : _printer(PrintInt64) {
    _value.i = v;
}
FormatArg::FormatArg(unsigned long v) noexcept : _printer(PrintUInt64) {
    _value.u = v;
}
FormatArg::FormatArg(long long v) noexcept : _printer(PrintInt64) {
    _value.i = v;
}
FormatArg::FormatArg(unsigned long long v) noexcept : _printer(PrintUInt64) {
    _value.u = v;
}
FormatArg::FormatArg(float v) noexcept : _printer(PrintFloat) {
    _value.f = v;
}
FormatArg::FormatArg(double v) noexcept : _printer(PrintDouble) {
    _value.d = v;
}
FormatArg::FormatArg(const char* v) noexcept : _printer(PrintCString) {
    _value.p = v;
}
FormatArg::FormatArg(const std::string& v) noexcept : _printer(PrintStdString) {
    _value.p = &v;
}
FormatArg::FormatArg(const std::string_view& v) noexcept : _printer(PrintStringView) {
    _value.p = &v;
}
FormatArg::FormatArg(const Object* v) noexcept : _printer(PrintObject) {
    _value.p = v;
}
FormatArg::FormatArg(const void* v) noexcept : _printer(PrintPointer) {
    _value.p = v;
}
FormatArg::FormatArg(const TimeStamp& v) noexcept : _printer(PrintTimeStamp) {
    _value.p = &v;
}
FormatArg::FormatArg(const DateTime& v) noexcept : _printer(PrintDateTime) {
    _value.p = &v;
}
FormatArg::FormatArg(const DateTimeIso& v) noexcept : _printer(PrintDateTimeIso) {
    _value.p = &v.value;
}

void FormatArgsAppend(std::string& out, std::string_view format, const FormatArg* args, int count) {
    // A placeholder without an argument is found only while scanning, after part of the text
    // was appended: take it back so that a failure leaves `out` as it was.
    const size_t before = out.size();
    try {
        FormatInto(out, format, args, count);
    } catch (...) {
        out.resize(before);
        throw;
    }
}

std::string FormatArgsToString(std::string_view format, const FormatArg* args, int count) {
    std::string out;
    FormatInto(out, format, args, count);
    return out;
}

void FormatArgs(Writer& out, std::string_view format, const FormatArg* args, int count) {
    // The message is assembled first and handed over in one Write, so that a failing argument
    // or placeholder leaves the writer untouched.
    std::string text;
    FormatInto(text, format, args, count);
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const auto chunk = static_cast<int32_t>(std::min<size_t>(left, INT32_MAX));
        out.Write(data, chunk);
        data += chunk;
        left -= static_cast<size_t>(chunk);
    }
}

}  // namespace Tarvos
