// this_process.h on POSIX systems (Linux).
#include "tools/pack/platform/this_process.h"

#include <dlfcn.h>

#include <memory>

namespace korvanthelm::pack {
namespace {

struct CloseLibrary {
    void operator()(void* library) const { ::dlclose(library); }
};
using UniqueLibrary = std::unique_ptr<void, CloseLibrary>;

// dlerror's text, read right after the failing call.
std::string LoaderReason() {
    const char* reason = ::dlerror();
    return reason != nullptr ? reason : "no reason given";
}

}  // namespace

std::string SharedLibraryLoadFailure(const std::string& path, const char* symbol) {
    // RTLD_LOCAL: nothing of the module is visible to what loads later.
    const UniqueLibrary library(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        return LoaderReason();
    }
    ::dlerror();
    if (::dlsym(library.get(), symbol) == nullptr) {
        return std::string("it has no ") + symbol + ": " + LoaderReason();
    }
    return {};
}

}  // namespace korvanthelm::pack
