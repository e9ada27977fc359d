#include "tarvos/system/internal/SharedLibraryPosix.h"

#include <dlfcn.h>

#include <cerrno>
#include <mutex>

#include "tarvos/core/Exception.h"
#include "tarvos/system/SystemFactoryImpl.h"

namespace Tarvos::System {

namespace {

// dlerror keeps one message per thread, but dlopen and dlsym of other threads may still run
// in between on some C libraries; the loader's text is read under one lock with its call.
std::mutex& LoaderMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string LoaderText() {
    const char* text = dlerror();
    return text != nullptr ? text : "unknown error";
}

void* Open(const std::string& path) {
    std::lock_guard<std::mutex> guard(LoaderMutex());
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw SystemException("Cannot load shared library " + path + ": " + LoaderText(), ELIBACC);
    }
    return handle;
}

}  // namespace

SharedLibraryPosix::SharedLibraryPosix(const std::string& path)
    : _path(path), _handle(Open(path)) {}

SharedLibraryPosix::~SharedLibraryPosix() {
    dlclose(_handle);
}

void* SharedLibraryPosix::GetSymbol(const std::string& name) const {
    std::lock_guard<std::mutex> guard(LoaderMutex());
    dlerror();
    void* address = dlsym(_handle, name.c_str());
    if (address == nullptr) {
        // A symbol may legitimately be at address 0 only for special cases (IFUNC, TLS) that
        // plug-in entry points never are.
        throw SystemException(
            "Shared library " + _path + " does not export " + name + ": " + LoaderText(), ENOENT);
    }
    return address;
}

void SystemFactoryImpl::CreateSharedLibrary(const std::string& path, Ref<SharedLibrary>& library) {
    library = Ref<SharedLibrary>(new SharedLibraryPosix(path));
}

}  // namespace Tarvos::System
