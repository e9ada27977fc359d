#pragma once

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tarvos/core/Object.h"
#include "tarvos/core/Writer.h"

namespace Tarvos::Service {

// An in-memory Writer for tests of the logging chain: keeps what was written, counts Write and
// Flush calls, can be told to fail, and can run a callback inside Write.
class MemoryWriter final : public Writer, public ObjectImpl {
public:
    void Write(const char* data, int32_t length) override {
        std::function<void()> during;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            if (_failing) {
                throw std::runtime_error("output failed");
            }
            _text.append(data, static_cast<size_t>(length));
            ++_writes;
            during = _during;
        }
        if (during) {
            during();
        }
    }
    void Flush() override {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_flushes;
    }

    std::string Text() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _text;
    }
    int Flushes() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _flushes;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(_mutex);
        _text.clear();
        _flushes = 0;
        _writes = 0;
    }
    void SetFailing(bool failing) {
        std::lock_guard<std::mutex> lock(_mutex);
        _failing = failing;
    }
    void SetDuringWrite(std::function<void()> during) {
        std::lock_guard<std::mutex> lock(_mutex);
        _during = std::move(during);
    }

private:
    mutable std::mutex _mutex;
    std::string _text;
    int _writes = 0;
    int _flushes = 0;
    bool _failing = false;
    std::function<void()> _during;
};

// One log line taken apart: "[" time " '" name "' " level " " thread id "] " message.
struct LogLine {
    std::string time;
    std::string name;
    std::string level;
    long long threadId = -1;
    std::string message;
};

// Parses one line without its "\r\n"; false when it does not have the shape of a log line
// (the time must read "CCYY-MM-DD hh:mm:ss.mmm").
inline bool ParseLogLine(std::string_view line, LogLine& out) {
    constexpr std::string_view kTimeShape = "0000-00-00 00:00:00.000";
    if (line.size() < kTimeShape.size() + 3 || line[0] != '[') {
        return false;
    }
    for (size_t i = 0; i < kTimeShape.size(); ++i) {
        const char c = line[1 + i];
        if (kTimeShape[i] == '0' ? (c < '0' || c > '9') : c != kTimeShape[i]) {
            return false;
        }
    }
    out.time = line.substr(1, kTimeShape.size());
    line.remove_prefix(1 + kTimeShape.size());
    if (!line.starts_with(" '")) {
        return false;
    }
    line.remove_prefix(2);
    const size_t nameEnd = line.find("' ");
    const size_t levelEnd = nameEnd == line.npos ? line.npos : line.find(' ', nameEnd + 2);
    const size_t idEnd = levelEnd == line.npos ? line.npos : line.find("] ", levelEnd + 1);
    if (idEnd == line.npos || idEnd == levelEnd + 1) {
        return false;
    }
    out.name = line.substr(0, nameEnd);
    out.level = line.substr(nameEnd + 2, levelEnd - nameEnd - 2);
    out.threadId = 0;
    for (size_t i = levelEnd + 1; i < idEnd; ++i) {
        if (line[i] < '0' || line[i] > '9') {
            return false;
        }
        out.threadId = out.threadId * 10 + (line[i] - '0');
    }
    out.message = line.substr(idEnd + 2);
    return true;
}

// Splits output at "\r\n" into parsed lines; a piece that is not a log line, or text after the
// last line end, fails the parse.
inline bool ParseLogLines(const std::string& text, std::vector<LogLine>& lines) {
    lines.clear();
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        LogLine line;
        if (end == std::string::npos ||
            !ParseLogLine(std::string_view(text).substr(start, end - start), line)) {
            return false;
        }
        lines.push_back(std::move(line));
        start = end + 2;
    }
    return true;
}

}  // namespace Tarvos::Service
