#include "tools/pack/platform/outputs_share_a_file.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "tools/pack/base/pack_error.h"

namespace korvanthelm::pack {
namespace {

[[noreturn]] void ThrowShared(const NamedPath& output, const NamedPath& other) {
    const std::string which = output.option == "-o" ? "" : output.option + " ";
    throw PackError("refused: the " + which + "output \"" + output.path + "\" is also the " +
                    other.option + " file");
}

}  // namespace

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

void RefuseOutputsThatShareAFile(std::span<const NamedPath> outputs,
                                 std::span<const NamedPath> inputs) {
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const NamedPath& output = outputs[i];
        if (output.path.empty()) {
            continue;
        }
        for (const NamedPath& input : inputs) {
            // An input that does not exist is refused where it is read; a
            // relative launcher file of that kind is looked for in the tree.
            struct stat status {};
            if (!input.path.empty() && ::stat(input.path.c_str(), &status) == 0 &&
                PathsNameOneFile(output.path, input.path)) {
                ThrowShared(output, input);
            }
        }
        for (std::size_t j = i + 1; j < outputs.size(); ++j) {
            if (!outputs[j].path.empty() && PathsNameOneFile(output.path, outputs[j].path)) {
                ThrowShared(output, outputs[j]);
            }
        }
    }
}

}  // namespace korvanthelm::pack
