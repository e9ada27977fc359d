#pragma once

#include <string>

#include "tarvos/core/Object.h"

namespace Tarvos::System {

// A shared library loaded into the process (made by SystemFactory::CreateSharedLibrary). The
// library stays loaded while this object lives and is unloaded when the last reference goes:
// whoever uses code or data of the library keeps a reference for as long.
//
// Thread-safety: immutable after loading; safe for concurrent use.
class TARVOS_API SharedLibrary : public virtual Object {
public:
    // The path the library was loaded from, as given.
    virtual std::string GetPath() const = 0;
    // The address of the exported symbol `name`. Throws SystemException naming the library, the
    // symbol and the loader's text when the library does not export it.
    virtual void* GetSymbol(const std::string& name) const = 0;
};

}  // namespace Tarvos::System
