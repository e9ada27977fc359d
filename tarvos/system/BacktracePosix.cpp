#include "tarvos/system/internal/BacktracePosix.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>

namespace Tarvos::System {

BacktracePosix::BacktracePosix() {
    void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    _frames.assign(frames, frames + (count > 0 ? count : 0));
}

void BacktracePosix::Resolve() const {
    std::call_once(_resolved, [this] {
        _texts.reserve(_frames.size());
        for (void* frame : _frames) {
            Dl_info info{};
            std::string text;
            char offset[64];
            if (dladdr(frame, &info) != 0) {
                text = info.dli_fname != nullptr ? info.dli_fname : "?";
                text += "(";
                if (info.dli_sname != nullptr) {
                    text += DemangleTypeName(info.dli_sname);
                    std::snprintf(offset, sizeof offset, "+0x%zx",
                                  static_cast<size_t>(static_cast<char*>(frame) -
                                                      static_cast<char*>(info.dli_saddr)));
                } else {
                    std::snprintf(offset, sizeof offset, "+0x%zx",
                                  static_cast<size_t>(static_cast<char*>(frame) -
                                                      static_cast<char*>(info.dli_fbase)));
                }
                text += offset;
                text += ")";
            } else {
                text = "?";
            }
            std::snprintf(offset, sizeof offset, " [%p]", frame);
            text += offset;
            _texts.push_back(std::move(text));
        }
    });
}

std::string BacktracePosix::GetFrameText(int index) const {
    if (index < 0 || index >= GetFrameCount()) {
        return {};
    }
    Resolve();
    return _texts[static_cast<size_t>(index)];
}

std::string BacktracePosix::GetText() const {
    Resolve();
    std::string text;
    for (const std::string& frame : _texts) {
        text += frame;
        text += "\n";
    }
    return text;
}

}  // namespace Tarvos::System
