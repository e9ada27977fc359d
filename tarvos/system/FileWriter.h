#pragma once

#include <string>

#include "tarvos/core/Writer.h"

namespace Tarvos::System {

// A Writer on a file, made by SystemFactory::CreateFileWriter. Write writes everything or
// throws PosixSystemException naming the path; after Close, Write throws
// NotInitializedException. Dropping the last reference closes the file.
// Externally synchronised.
class TARVOS_API FileWriter : public virtual Writer {
public:
    virtual void Close() = 0;
    virtual const std::string& GetPath() const = 0;
};

}  // namespace Tarvos::System
