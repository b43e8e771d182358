#include "tools/pack/try/exclusive_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>

#include "tools/pack/base/pack_error.h"

namespace korvanthelm::pack {

UniqueFd LockExclusively(const std::string& path) {
    UniqueFd file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, /*mode=*/0600));
    if (!file) {
        throw PackError("cannot open " + path + ": " + std::strerror(errno));
    }
    while (::flock(file.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            throw PackError("cannot lock " + path + ": " + std::strerror(errno));
        }
    }
    return file;
}

}  // namespace korvanthelm::pack
