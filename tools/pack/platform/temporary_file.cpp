#include "tools/pack/platform/temporary_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/temporary_file_registry.h"
#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

TemporaryFile::TemporaryFile(const std::string& folder, const std::string& prefix,
                             const std::string& suffix)
    : owner_pid_(::getpid()) {
    std::string pattern = folder + "/" + prefix + "XXXXXX" + suffix;
    // Created and listed as one step: a signal in between cannot leave the
    // copy (possibly the whole unsigned exe) behind.
    const TemporaryFileSignalsHeld held;
    // O_CLOEXEC: no program started meanwhile inherits the descriptor.
    const UniqueFd fd(::mkostemps(pattern.data(), static_cast<int>(suffix.size()), O_CLOEXEC));
    if (!fd) {
        throw PackError("cannot create a temporary file in \"" + folder +
                        "\": " + std::strerror(errno));
    }
    try {
        RegisterTemporaryFile(pattern);
    } catch (...) {
        ::unlink(pattern.c_str());
        throw;
    }
    path_ = std::move(pattern);
}

TemporaryFile::~TemporaryFile() {
    // A forked child that unwinds must not take its parent's file away.
    if (::getpid() == owner_pid_) {
        ::unlink(path_.c_str());
        UnregisterTemporaryFile(path_);
    }
}

}  // namespace korvanthelm::pack
