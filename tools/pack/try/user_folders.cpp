#include "tools/pack/try/user_folders.h"

#include <cstdlib>

namespace korvanthelm::pack {
namespace {

// A variable's value when it names an absolute path: a relative one would
// depend on where the command happens to run.
std::optional<std::string> AbsoluteVariable(const char* name) {
    const char* const value = std::getenv(name);
    if (value == nullptr || value[0] != '/') {
        return std::nullopt;
    }
    return std::string(value);
}

}  // namespace

std::optional<std::string> UserCacheFolder() {
    if (std::optional<std::string> cache = AbsoluteVariable("XDG_CACHE_HOME")) {
        return cache;
    }
    if (std::optional<std::string> home = AbsoluteVariable("HOME")) {
        return *home + "/.cache";
    }
    return std::nullopt;
}

std::string TemporaryFolder() {
    return AbsoluteVariable("TMPDIR").value_or("/tmp");
}

}  // namespace korvanthelm::pack
