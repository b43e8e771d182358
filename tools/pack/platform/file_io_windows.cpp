#include <windows.h>

#include <algorithm>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/platform/create_new_file.h"
#include "tools/pack/platform/file_io.h"
#include "tools/pack/platform/temporary_file_registry.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {
namespace {

[[noreturn]] void ThrowFileError(const char* what, const std::string& path, DWORD error) {
    throw PackError(std::string(what) + " \"" + path + "\": " + WindowsErrorText(error));
}

// WriteFile counts in DWORDs: larger writes are made in pieces.
constexpr std::size_t kLargestWrite = std::size_t{1} << 30;

}  // namespace

void RefuseNonRegularOutput(const std::string& path) {
    // Opened as itself (a link is judged as the link, since the rename
    // replaces it) with no access asked, so nothing else's use is disturbed.
    const std::wstring wide = WidePath(path);
    const UniqueFd existing(CreateFileW(wide.c_str(), /*access=*/0,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        /*security=*/nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        /*template=*/nullptr),
                            wide);
    if (!existing) {
        return;  // nothing there (or nothing openable: the write will say)
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const bool regular = GetFileType(existing.get()) == FILE_TYPE_DISK &&
                         GetFileInformationByHandle(existing.get(), &information) &&
                         (information.dwFileAttributes &
                          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    if (!regular) {
        throw PackError("refused: \"" + PrintableHostPath(path) +
                        "\" exists and is not a regular file");
    }
}

// `mode` has no meaning here: the new file takes the folder's inherited ACL,
// as any file a program creates there.
StagedFile::StagedFile(std::string path, std::span<const std::byte> bytes, mode_t /*mode*/)
    : path_(std::move(path)) {
    RefuseNonRegularOutput(path_);
    UniqueFd file;
    std::string name;
    {
        // Created and on the list in one step: a Ctrl+C in between would
        // leave the file behind.
        const TemporaryFileSignalsHeld held;
        int error = 0;
        file = CreateNewFile(path_ + ".tmp-", "", name, error);
        if (!file) {
            ThrowFileError("cannot create a temporary file beside", path_,
                           static_cast<DWORD>(error));
        }
        try {
            temporary_.Adopt(name);
        } catch (...) {
            file.reset();
            DeleteFileW(WidePath(name).c_str());
            throw;
        }
    }
    // From here temporary_ removes the file if anything fails.
    for (std::size_t done = 0; done < bytes.size();) {
        DWORD wrote = 0;
        const DWORD wanted = static_cast<DWORD>(std::min(bytes.size() - done, kLargestWrite));
        if (!WriteFile(file.get(), bytes.data() + done, wanted, &wrote, /*overlapped=*/nullptr)) {
            ThrowFileError("cannot write", name, GetLastError());
        }
        done += wrote;
    }
    if (!FlushFileBuffers(file.get())) {
        ThrowFileError("cannot flush", name, GetLastError());
    }
    if (!CloseHandle(file.release())) {
        ThrowFileError("cannot write", name, GetLastError());
    }
}

void StagedFile::Commit() {
    // Again at the last moment: a node put in place since the constructor
    // must not be replaced either.
    RefuseNonRegularOutput(path_);
    if (!MoveFileExW(WidePath(temporary_.path()).c_str(), WidePath(path_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ThrowFileError("cannot replace", path_, GetLastError());
    }
    temporary_.Release();
}

}  // namespace korvanthelm::pack
