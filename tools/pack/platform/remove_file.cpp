#include "tools/pack/platform/remove_file.h"

#ifdef _WIN32
#include <windows.h>

#include "tools/pack/platform/wide_path.h"
#else
#include <cstdio>
#endif

namespace korvanthelm::pack {

void RemoveFileIfPresent(const std::string& path) {
#ifdef _WIN32
    DeleteFileW(WidePath(path).c_str());
#else
    std::remove(path.c_str());
#endif
}

}  // namespace korvanthelm::pack
