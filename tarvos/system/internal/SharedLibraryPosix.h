#pragma once

#include <string>

#include "tarvos/core/Object.h"
#include "tarvos/system/SharedLibrary.h"

namespace Tarvos::System {

// A library opened with dlopen (RTLD_NOW | RTLD_LOCAL: every reference resolves at load, so a
// plug-in that misses a symbol fails to load instead of failing later in a call), closed with
// dlclose on destruction. Immutable; safe for concurrent use.
class SharedLibraryPosix final : public SharedLibrary, public ObjectImpl {
public:
    // Throws SystemException with the path and the loader's text when the library cannot load.
    explicit SharedLibraryPosix(const std::string& path);
    ~SharedLibraryPosix() override;

    std::string GetPath() const override { return _path; }
    void* GetSymbol(const std::string& name) const override;

private:
    const std::string _path;
    void* const _handle;
};

}  // namespace Tarvos::System
