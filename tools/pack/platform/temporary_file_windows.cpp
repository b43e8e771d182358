#include <windows.h>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/create_new_file.h"
#include "tools/pack/platform/temporary_file.h"
#include "tools/pack/platform/temporary_file_registry.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {

TemporaryFile::TemporaryFile(const std::string& folder, const std::string& prefix,
                             const std::string& suffix)
    : owner_pid_(static_cast<int>(GetCurrentProcessId())) {
    std::string created;
    // Created and listed as one step: a Ctrl+C in between cannot leave the
    // copy (possibly the whole unsigned exe) behind.
    const TemporaryFileSignalsHeld held;
    int error = 0;
    UniqueFd file = CreateNewFile(folder + "/" + prefix, suffix, created, error);
    if (!file) {
        throw PackError("cannot create a temporary file in \"" + folder +
                        "\": " + WindowsErrorText(static_cast<DWORD>(error)));
    }
    // Closed now: the program that works on the copy opens it by name.
    file.reset();
    try {
        RegisterTemporaryFile(created);
    } catch (...) {
        DeleteFileW(WidePath(created).c_str());
        throw;
    }
    path_ = std::move(created);
}

// Windows has no fork: the owner is always this process.
TemporaryFile::~TemporaryFile() {
    DeleteFileW(WidePath(path_).c_str());
    UnregisterTemporaryFile(path_);
}

}  // namespace korvanthelm::pack
