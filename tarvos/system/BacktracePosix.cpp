#include "tarvos/system/internal/BacktracePosix.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

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

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kFatalSignalCount = sizeof kFatalSignals / sizeof kFatalSignals[0];
struct sigaction g_previous[kFatalSignalCount];
std::atomic<bool> g_crashBacktracesOn{false};

void WriteText(const char* text) {
    ssize_t ignored = write(STDERR_FILENO, text, std::strlen(text));
    static_cast<void>(ignored);
}

// Runs on the dying thread: only async-signal-safe calls (backtrace was warmed up at install,
// so it does not load anything now).
void OnFatalSignal(int signal) {
    char line[64];
    std::snprintf(line, sizeof line, "\n*** Fatal signal %d, backtrace:\n", signal);
    WriteText(line);
    void* frames[64];
    const int count = backtrace(frames, 64);
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
    for (int i = 0; i < kFatalSignalCount; ++i) {
        if (kFatalSignals[i] == signal) {
            sigaction(signal, &g_previous[i], nullptr);
        }
    }
    // Blocked until this handler returns; then the previous disposition ends the process.
    raise(signal);
}

}  // namespace

void EnableCrashBacktraces() {
    if (g_crashBacktracesOn.exchange(true)) {
        return;
    }
    void* warmUp[1];
    backtrace(warmUp, 1);
    struct sigaction action {};
    action.sa_handler = OnFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (int i = 0; i < kFatalSignalCount; ++i) {
        sigaction(kFatalSignals[i], &action, &g_previous[i]);
    }
}

}  // namespace Tarvos::System
