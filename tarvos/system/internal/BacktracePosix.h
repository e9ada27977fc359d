#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "tarvos/core/Object.h"
#include "tarvos/system/Backtrace.h"

namespace Tarvos::System {

// The stack of the constructing thread, captured with backtrace(3); frame texts come from
// dladdr(3) and the demangler on first request. Immutable after capture; the lazily made texts
// are made once, under _resolved.
class BacktracePosix final : public Backtrace, public ObjectImpl {
public:
    static constexpr int kMaxFrames = 64;

    BacktracePosix();

    int GetFrameCount() const override { return static_cast<int>(_frames.size()); }
    std::string GetFrameText(int index) const override;
    std::string GetText() const override;

private:
    void Resolve() const;

    std::vector<void*> _frames;
    mutable std::once_flag _resolved;
    mutable std::vector<std::string> _texts;
};

}  // namespace Tarvos::System
