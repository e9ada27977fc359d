#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "tarvos/core/Ref.h"
#include "tarvos/service/Logger.h"
#include "tarvos/system/SysCommandBase.h"

namespace Tarvos::System {

// The Linux SysCommand: pipes made with pipe2(O_CLOEXEC), the child started by posix_spawnp with
// an argument vector, waits through a pidfd (or a bounded sleep-and-look loop where the kernel
// has none), writes with SIGPIPE held off for the calling thread only. The states and invariants
// are described at the top of SysCommandPosix.cpp.
//
// Thread-safety: as SysCommand.
class SysCommandPosix final : public SysCommandBase {
public:
    // Log lines go to `logger` (null: none).
    explicit SysCommandPosix(const Ref<Service::Logger>& logger);
    // Closes the pipes; kills and reaps a child that still runs.
    ~SysCommandPosix() override;

    bool Start(bool mergeStderr) override;
    bool Wait(int32_t seconds) override;
    bool HasExited() override;
    bool GetExitCode(int32_t& code) override;
    bool ReadRaw(int channel, char* buffer, int32_t length, int32_t& bytesRead) override;
    bool Write(const std::string& text) override;
    void CloseInput() override;

private:
    enum class ReapResult { Running, Ended, Failed };

    // Collects the child's status without blocking. Runs under _processMutex.
    ReapResult ReapLocked();

    // Fixed by a successful Start (which happens before the object is shared) until destruction.
    pid_t _pid = -1;
    int _pidFd = -1;  // -1 where the kernel offers no pidfd
    int _outputFd = -1;
    int _errorFd = -1;  // -1 when the error output is merged
    std::atomic<bool> _started{false};

    // Guarded by _inputMutex (held for a whole Write).
    std::mutex _inputMutex;
    int _inputFd = -1;

    // Guarded by _processMutex.
    std::mutex _processMutex;
    bool _exited = false;
    int32_t _exitCode = 0;
    // The child was reaped by someone else (SIGCHLD ignored, or a waitpid(-1) elsewhere): its
    // status is lost and its pid must never be signalled.
    bool _lost = false;
};

}  // namespace Tarvos::System
