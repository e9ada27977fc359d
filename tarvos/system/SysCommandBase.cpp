#include "tarvos/system/SysCommandBase.h"

#include <algorithm>
#include <limits>

#include "tarvos/core/Panic.h"
#include "tarvos/service/Log.h"

namespace Tarvos::System {

using Service::Log;
namespace LogLevel = Service::LogLevel;

namespace {

// What ReadLine asks for beyond what is buffered, per read.
constexpr size_t kLineReadStep = 256;

}  // namespace

SysCommandBase::SysCommandBase(const Ref<Service::Logger>& logger) : _logger(logger) {}

SysCommandBase::~SysCommandBase() = default;

void SysCommandBase::SetProgram(const std::string& program) {
    _program = program;
}

std::string SysCommandBase::GetProgram() const {
    return _program;
}

void SysCommandBase::SetArguments(const std::vector<std::string>& arguments) {
    _arguments = arguments;
}

std::vector<std::string> SysCommandBase::GetArguments() const {
    return _arguments;
}

void SysCommandBase::SetExtraList(const std::vector<std::string>& list) {
    _extraList = list;
}

std::vector<std::string> SysCommandBase::GetExtraList() const {
    return _extraList;
}

bool SysCommandBase::WriteInput(const std::string& text) {
    return Write(text);
}

int SysCommandBase::PipeIndex(int channel) const {
    TARVOS_VERIFY(channel >= 1 && channel <= 3);
    return channel == 2 && !IsMergeStderr() ? 1 : 0;
}

SysCommandBase::ChannelBuffer& SysCommandBase::BufferFor(int channel) {
    return _buffers[PipeIndex(channel)];
}

void SysCommandBase::FillLocked(ChannelBuffer& buffer, int channel, size_t count, bool waitForAll) {
    while (buffer.data.size() < count && !buffer.atEnd) {
        const size_t before = buffer.data.size();
        // ReadRaw takes a 32-bit length; a larger request is served over several reads.
        const size_t want = std::min<size_t>(count - before, std::numeric_limits<int32_t>::max());
        buffer.data.resize(before + want);
        int32_t got = 0;
        const bool more =
            ReadRaw(channel, buffer.data.data() + before, static_cast<int32_t>(want), got);
        got = std::clamp<int32_t>(got, 0, static_cast<int32_t>(want));
        // An error ends the channel as end of file does: reading again would only repeat it
        // (and a waitForAll loop would never finish).
        if (!more) {
            buffer.atEnd = true;
        }
        buffer.data.resize(before + static_cast<size_t>(got));
        if (got > 0) {
            Log(_logger, LogLevel::Trivia, "%1 bytes read, %2", got,
                std::string_view(buffer.data).substr(before));
        }
        if (!waitForAll) {
            break;
        }
    }
}

void SysCommandBase::ReadBytes(std::string& out, int channel, int32_t count, bool waitForAll) {
    ChannelBuffer& buffer = BufferFor(channel);
    out.clear();
    if (count <= 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(buffer.mutex);
    FillLocked(buffer, channel, static_cast<size_t>(count), waitForAll);
    const size_t handed = std::min(static_cast<size_t>(count), buffer.data.size());
    out.assign(buffer.data, 0, handed);
    buffer.data.erase(0, handed);
}

void SysCommandBase::ReadLine(std::string& out, int channel) {
    ChannelBuffer& buffer = BufferFor(channel);
    out.clear();
    std::lock_guard<std::mutex> guard(buffer.mutex);
    // Only the newly read part needs searching; the rest was searched before.
    size_t searched = 0;
    size_t lineFeed = buffer.data.find('\n');
    while (lineFeed == std::string::npos && !buffer.atEnd) {
        searched = buffer.data.size();
        FillLocked(buffer, channel, buffer.data.size() + kLineReadStep, false);
        lineFeed = buffer.data.find('\n', searched);
    }
    const size_t handed = lineFeed == std::string::npos ? buffer.data.size() : lineFeed + 1;
    out.assign(buffer.data, 0, handed);
    buffer.data.erase(0, handed);
}

bool SysCommandBase::IsAtEnd(int channel) {
    ChannelBuffer& buffer = BufferFor(channel);
    std::lock_guard<std::mutex> guard(buffer.mutex);
    return buffer.atEnd && buffer.data.empty();
}

}  // namespace Tarvos::System
