#include "tools/pack/platform/path_exists.h"

#include <sys/stat.h>

namespace korvanthelm::pack {

bool PathExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

}  // namespace korvanthelm::pack
