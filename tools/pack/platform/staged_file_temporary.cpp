// StagedFile's temporary file of file_io.h: the same on every system, over
// the temporary-file list and RemoveFileIfPresent.
#include "tools/pack/platform/file_io.h"
#include "tools/pack/platform/remove_file.h"
#include "tools/pack/platform/temporary_file_registry.h"

namespace korvanthelm::pack {

StagedFile::Temporary::~Temporary() {
    if (!path_.empty()) {
        RemoveFileIfPresent(path_);
        UnregisterTemporaryFile(path_);
    }
}

void StagedFile::Temporary::Adopt(std::string path) {
    RegisterTemporaryFile(path);
    path_ = std::move(path);
}

void StagedFile::Temporary::Release() {
    UnregisterTemporaryFile(path_);
    path_.clear();
}

}  // namespace korvanthelm::pack
