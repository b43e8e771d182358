#include "tools/pack/platform/read_file_start.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {

std::optional<std::string> ReadFileStart(const std::string& path, std::size_t limit) {
    // O_NONBLOCK: a FIFO put there must not hold the run up.
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info;
    if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    std::string text(limit, '\0');
    std::size_t done = 0;
    while (done < limit) {
        const ssize_t got = ::read(file.get(), text.data() + done, limit - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    text.resize(done);
    return text;
}

}  // namespace korvanthelm::pack
