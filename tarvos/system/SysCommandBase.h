#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"
#include "tarvos/service/Logger.h"
#include "tarvos/system/SysCommand.h"

namespace Tarvos::System {

// The platform-independent part of a SysCommand: the program, argument and extra lists, and the
// buffering of the output channels over the platform's ReadRaw. A platform class supplies Start,
// Wait, HasExited, GetExitCode, ReadRaw, Write and CloseInput, and calls SetMergeStderr from a
// successful Start.
//
// Each output channel (output; error output unless merged) keeps the bytes read but not yet
// handed out and an end flag, under its own lock. ReadRaw runs under that lock, so one channel
// is read by one thread at a time. A failed ReadRaw, whether end of file or an error, ends the
// channel: nothing more is read from it.
//
// Thread-safety: as SysCommand.
class TARVOS_API SysCommandBase : public SysCommand, public ObjectImpl {
public:
    // `logger` receives the trivia lines of the reads; null: no lines.
    explicit SysCommandBase(const Ref<Service::Logger>& logger);
    ~SysCommandBase() override;

    SysCommandBase(const SysCommandBase&) = delete;
    SysCommandBase& operator=(const SysCommandBase&) = delete;

    void SetProgram(const std::string& program) override;
    std::string GetProgram() const override;
    void SetArguments(const std::vector<std::string>& arguments) override;
    std::vector<std::string> GetArguments() const override;
    void SetExtraList(const std::vector<std::string>& list) override;
    std::vector<std::string> GetExtraList() const override;

    bool WriteInput(const std::string& text) override;
    void ReadBytes(std::string& out, int channel, int32_t count, bool waitForAll) override;
    void ReadLine(std::string& out, int channel) override;
    bool IsAtEnd(int channel) override;

protected:
    // Records whether the error output shares the output pipe; called by Start before the
    // object is used by other threads.
    void SetMergeStderr(bool merge) noexcept { _mergeStderr.store(merge); }
    bool IsMergeStderr() const noexcept { return _mergeStderr.load(); }
    // Which pipe serves `channel`: 0 the output, 1 the error output (never when merged). A
    // channel other than 1, 2 or 3 is an assertion failure.
    int PipeIndex(int channel) const;
    const Ref<Service::Logger>& GetLogger() const noexcept { return _logger; }

private:
    struct ChannelBuffer {
        std::mutex mutex;
        // Guarded by `mutex`.
        std::string data;
        bool atEnd = false;
    };

    // Reads from `channel` until `count` bytes are buffered or the channel ends (one read unless
    // `waitForAll`). Runs under the channel buffer's lock.
    void FillLocked(ChannelBuffer& buffer, int channel, size_t count, bool waitForAll);
    ChannelBuffer& BufferFor(int channel);

    const Ref<Service::Logger> _logger;
    // Set by the owner before Start; externally synchronised.
    std::string _program;
    std::vector<std::string> _arguments;
    std::vector<std::string> _extraList;
    std::atomic<bool> _mergeStderr{false};
    ChannelBuffer _buffers[2];
};

}  // namespace Tarvos::System
