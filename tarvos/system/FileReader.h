#pragma once

#include <string>

#include "tarvos/core/Reader.h"

namespace Tarvos::System {

// A Reader on a file, made by SystemFactory::CreateFileReader (a missing file throws
// PosixSystemException naming the path). Read returns -1 at the end of the file; after Close it
// throws NotInitializedException. Dropping the last reference closes the file.
// Externally synchronised.
class TARVOS_API FileReader : public virtual Reader {
public:
    virtual const std::string& GetPath() const = 0;
};

}  // namespace Tarvos::System
