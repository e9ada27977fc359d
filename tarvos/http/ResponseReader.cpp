#include "tarvos/http/internal/ResponseReader.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "tarvos/core/Exception.h"
#include "tarvos/core/NumberConversion.h"
#include "tarvos/http/HttpNames.h"
#include "tarvos/http/MalformedHeaderException.h"
#include "tarvos/http/internal/TextUtil.h"

namespace Tarvos::Http {

namespace {

constexpr char kConnectionLost[] = "Connection lost while parsing header";

// Converts a number of the status line or of Content-Length, naming the failure as a header
// fault rather than a conversion one.
int64_t ConvertNumber(std::string_view text, bool wide) {
    try {
        return wide ? StringToInt64(text) : StringToInt32(text);
    } catch (const NumberRangeException&) {
        throw MalformedHeaderException("Header number value not in range");
    } catch (const NumberFormatException&) {
        throw MalformedHeaderException("Header expected a number value");
    }
}

}  // namespace

void ResponseReader::Reset() noexcept {
    _readPos = 0;
    _endPos = 0;
}

void ResponseReader::Fill(System::Stream& stream, const char* lostMessage) {
    _readPos = 0;
    _endPos = 0;
    // One byte stays free for the terminating zero, so the buffer also reads as a C string.
    const int32_t count = stream.Read(_buffer, kLineBufferSize - 1);
    if (count <= 0) {
        throw MalformedHeaderException(lostMessage);
    }
    _buffer[count] = '\0';
    _endPos = count;
}

void ResponseReader::ReadHeaderLine(System::Stream& stream, std::string& line) {
    line.clear();
    for (;;) {
        if (_readPos == _endPos) {
            Fill(stream, kConnectionLost);
        }
        const char* start = _buffer + _readPos;
        const auto available = static_cast<size_t>(_endPos - _readPos);
        const auto* cr = static_cast<const char*>(std::memchr(start, '\r', available));
        const size_t take = cr == nullptr ? available : static_cast<size_t>(cr - start);
        line.append(start, take);
        _readPos += static_cast<int32_t>(take);
        if (line.size() >= kMaxLineLength) {
            throw MalformedHeaderException("Header has too many fields");
        }
        if (cr == nullptr) {
            continue;
        }
        ++_readPos;
        if (_readPos == _endPos) {
            // The line feed may come with the next read.
            Fill(stream, kConnectionLost);
        }
        if (_buffer[_readPos] != '\n') {
            throw MalformedHeaderException("Parse Header got CR expected LF");
        }
        ++_readPos;
        return;
    }
}

void ResponseReader::ReadHeader(System::Stream& stream, ResponseHead& head) {
    head.setCookies.clear();
    head.contentLength = 0;

    std::string line;
    ReadHeaderLine(stream, line);
    size_t headerBytes = line.size() + 2;
    const size_t firstSpace = line.find(' ');
    if (firstSpace == std::string::npos) {
        throw MalformedHeaderException("version delimiter missing");
    }
    const size_t secondSpace = line.find(' ', firstSpace + 1);
    if (secondSpace == std::string::npos) {
        throw MalformedHeaderException("status code delmitor missing");
    }
    const auto code = static_cast<int32_t>(ConvertNumber(
        std::string_view(line).substr(firstSpace + 1, secondSpace - firstSpace - 1), false));
    const std::string_view version = std::string_view(line).substr(0, firstSpace);
    if (version == kHttp11) {
        head.http11 = true;
    } else if (version == kHttp10) {
        head.http11 = false;
    } else {
        throw MalformedHeaderException("Invalid HTTP-Version");
    }
    head.status = HttpStatus(code, line.substr(secondSpace + 1));

    bool haveLength = false;
    for (;;) {
        ReadHeaderLine(stream, line);
        if (line.empty()) {
            break;
        }
        headerBytes += line.size() + 2;
        if (headerBytes > kMaxHeaderBytes) {
            throw MalformedHeaderException("Header has too many fields");
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            throw MalformedHeaderException("Missing colon header delimiter");
        }
        const std::string_view name = std::string_view(line).substr(0, colon);
        size_t valueStart = colon + 1;
        while (valueStart < line.size() && line[valueStart] == ' ') {
            ++valueStart;
        }
        const std::string_view value = std::string_view(line).substr(valueStart);
        // Field names are case-insensitive; a server that writes "content-length" frames its
        // body as well as one that writes "Content-Length".
        if (internal::EqualsNoCase(name, kContentLength)) {
            const int64_t length = ConvertNumber(value, true);
            if (length < 0) {
                throw MalformedHeaderException("Content-Length is a negative value");
            }
            head.contentLength = length;
            haveLength = true;
        } else if (name == kSetCookie) {
            head.setCookies.emplace_back(value);
        }
    }
    if (!haveLength) {
        const int32_t status = head.status.GetCode();
        if (status != 204 && status != 304 && status >= 200) {
            throw MalformedHeaderException("Missing Content-Length header");
        }
        head.contentLength = 0;
    }
}

void ResponseReader::ReadBody(System::Stream& stream, const ResponseHead& head, Writer& body) {
    int64_t remaining = head.contentLength;
    while (remaining > 0) {
        if (_readPos == _endPos) {
            Fill(stream, "Lost connection parsing Body");
        }
        const auto count = static_cast<int32_t>(std::min<int64_t>(remaining, _endPos - _readPos));
        body.Write(_buffer + _readPos, count);
        _readPos += count;
        remaining -= count;
    }
}

void ResponseReader::ReadResponse(System::Stream& stream, ResponseHead& head, Writer& body) {
    ReadHeader(stream, head);
    ReadBody(stream, head, body);
}

}  // namespace Tarvos::Http
