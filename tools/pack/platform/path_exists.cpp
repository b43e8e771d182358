#include "tools/pack/platform/path_exists.h"

#ifdef _WIN32
#include <windows.h>

#include "tools/pack/platform/wide_path.h"
#else
#include <sys/stat.h>
#endif

namespace korvanthelm::pack {

bool PathExists(const std::string& path) {
#ifdef _WIN32
    // Any answer but INVALID_FILE_ATTRIBUTES: something is there.
    return GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
#endif
}

}  // namespace korvanthelm::pack
