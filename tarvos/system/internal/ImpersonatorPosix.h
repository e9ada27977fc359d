#pragma once

#include <string>

#include "tarvos/core/Object.h"
#include "tarvos/system/Impersonator.h"

namespace Tarvos::System {

// The platform Impersonator. A thread whose effective user id is 0 when it starts to
// impersonate switches its own user id, group id and supplementary groups with the raw
// per-thread system calls; any other thread only records the user name. The per-thread state
// lives in thread-local storage, shared by every instance, since the identity belongs to the
// thread (ImpersonatorPosix.cpp describes it).
//
// Immutable; safe for concurrent use.
class TARVOS_INTERNAL ImpersonatorPosix final : public Impersonator, public ObjectImpl {
public:
    enum class Mode {
        // Switch ids when the thread runs as root, else record the name.
        Automatic,
        // Always record the name only, even as root (what a process without root gets).
        RecordNameOnly,
    };

    explicit ImpersonatorPosix(Mode mode = Mode::Automatic) : _mode(mode) {}

    bool Impersonate(const std::string& userName, const Ref<UserToken>& token) override;
    void Revert() override;
    void GetCurrentUserName(std::string& userName) override;

private:
    const Mode _mode;
};

}  // namespace Tarvos::System
