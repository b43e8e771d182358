#include "tools/pack/platform/paths_name_one_file.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace korvanthelm::pack {

bool PathsNameOneFile(const std::string& a, const std::string& b) {
    struct stat a_status {};
    struct stat b_status {};
    const bool a_exists = ::stat(a.c_str(), &a_status) == 0;
    const bool b_exists = ::stat(b.c_str(), &b_status) == 0;
    if (a_exists && b_exists) {
        return a_status.st_dev == b_status.st_dev && a_status.st_ino == b_status.st_ino;
    }
    if (a_exists != b_exists) {
        return false;
    }
    // Neither exists yet: two spellings of one future file.
    std::error_code error;
    const std::filesystem::path a_path = std::filesystem::weakly_canonical(a, error);
    if (error) {
        return false;
    }
    const std::filesystem::path b_path = std::filesystem::weakly_canonical(b, error);
    return !error && a_path == b_path;
}

}  // namespace korvanthelm::pack
