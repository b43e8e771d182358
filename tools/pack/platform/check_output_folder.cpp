#include "tools/pack/platform/check_output_folder.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {
namespace {

// The folder the output's temporary file goes to, as StagedFile names it.
std::string FolderOf(const std::string& output) {
    const std::size_t slash = output.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : output.substr(0, slash);
}

}  // namespace

void RequireWritableOutputFolder(const std::string& output) {
    const std::string prefix = "cannot write \"" + output + "\": ";
    const std::string folder = FolderOf(output);
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) {
        const int error = errno;
        throw PackError(prefix + (error == ENOENT ? "its folder \"" + folder + "\" does not exist"
                                                  : "cannot examine its folder \"" + folder +
                                                        "\": " + std::strerror(error)));
    }
    if (!S_ISDIR(status.st_mode)) {
        throw PackError(prefix + "\"" + folder + "\" is not a folder");
    }
    if (::stat(output.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        throw PackError(prefix + "it is a folder; name the file to write");
    }
    // Permissions alone do not tell (read-only mounts, ACLs, root): a real
    // file made the way the output's temporary file will be made does.
    std::string probe = folder + "/.korvanthelm-probe-XXXXXX";
    const UniqueFd fd(::mkostemp(probe.data(), O_CLOEXEC));
    if (!fd) {
        throw PackError(prefix + "cannot create a file in \"" + folder +
                        "\": " + std::strerror(errno));
    }
    ::unlink(probe.c_str());
}

}  // namespace korvanthelm::pack
