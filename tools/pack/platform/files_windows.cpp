// files.h on Windows.
#include "tools/pack/platform/files.h"

#include <windows.h>

#include <algorithm>
#include <limits>
#include <optional>

#include "platform/unique_resource.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/platform/temporary_files.h"
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

namespace korvanthelm::pack {

OpenedFile OpenRegularFile(const std::string& path, std::uint64_t max_size) {
    const std::wstring wide = WidePath(path);
    // FILE_FLAG_BACKUP_SEMANTICS: a folder opens too, and is then refused as
    // not a regular file (as on Linux) instead of as "access denied".
    UniqueFd file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              /*security=*/nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              /*template=*/nullptr),
                  wide);
    if (!file) {
        throw PackError("cannot open \"" + path + "\": " + WindowsErrorText(GetLastError()));
    }
    // A pipe, a console or a device (CON, NUL, \\.\pipe\...) would never end
    // or never answer.
    const DWORD type = GetFileType(file.get());
    BY_HANDLE_FILE_INFORMATION information{};
    if (type == FILE_TYPE_DISK && !GetFileInformationByHandle(file.get(), &information)) {
        throw PackError("cannot examine \"" + path + "\": " + WindowsErrorText(GetLastError()));
    }
    if (type != FILE_TYPE_DISK || (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw PackError("not a regular file: \"" + path + "\"");
    }
    const std::uint64_t size =
        (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    if (size > max_size) {
        ThrowFileTooLarge(path, max_size);
    }
    return {std::move(file), size};
}

void ThrowFileTooLarge(const std::string& path, std::uint64_t max_size) {
    throw PackError("refused: \"" + path + "\" holds more than " + std::to_string(max_size) +
                    " bytes, more than any package or built exe can be");
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {
namespace {

// ReadFile counts in DWORDs: a larger request is cut to this.
constexpr std::size_t kLargestRead = std::size_t{1} << 30;

}  // namespace

std::optional<std::size_t> ReadSome(const UniqueFd& file, std::span<std::byte> out, int& error) {
    DWORD got = 0;
    if (!ReadFile(file.get(), out.data(), static_cast<DWORD>(std::min(out.size(), kLargestRead)),
                  &got, /*overlapped=*/nullptr)) {
        error = static_cast<int>(GetLastError());
        return std::nullopt;
    }
    return std::size_t{got};
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {
namespace {

struct FileIdentity {
    DWORD volume;
    DWORD index_high;
    DWORD index_low;
    bool operator==(const FileIdentity&) const = default;
};

// The volume and file index of what `path` names (links followed, as a
// write through the path would follow them); nullopt when nothing is there.
std::optional<FileIdentity> IdentityOf(const std::string& path) {
    const std::wstring wide = WidePath(path);
    const UniqueFile file(CreateFileW(
        wide.c_str(), /*access=*/0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        /*security=*/nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, /*template=*/nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file || !GetFileInformationByHandle(file.get(), &information)) {
        return std::nullopt;
    }
    return FileIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh,
                        information.nFileIndexLow};
}

}  // namespace

bool PathsNameOneFile(const std::string& a, const std::string& b) {
    const std::optional<FileIdentity> a_identity = IdentityOf(a);
    const std::optional<FileIdentity> b_identity = IdentityOf(b);
    if (a_identity && b_identity) {
        return *a_identity == *b_identity;
    }
    if (a_identity.has_value() != b_identity.has_value()) {
        return false;
    }
    // Neither exists yet: two spellings of one future file. Names differing
    // in letter case name one file on Windows.
    const std::wstring a_full = FullWidePath(a);
    const std::wstring b_full = FullWidePath(b);
    return !a_full.empty() && CompareStringOrdinal(a_full.c_str(), static_cast<int>(a_full.size()),
                                                   b_full.c_str(), static_cast<int>(b_full.size()),
                                                   /*ignore_case=*/TRUE) == CSTR_EQUAL;
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {
namespace {

// The folder the output's temporary file goes to, as StagedFile names it;
// either slash separates, and "C:" alone is that drive's working folder.
std::string FolderOf(const std::string& output) {
    const std::size_t slash = output.find_last_of("\\/");
    if (slash == std::string::npos) {
        return output.size() >= 2 && output[1] == ':' ? output.substr(0, 2) : ".";
    }
    const bool root = slash == 0 || (slash == 2 && output[1] == ':');
    return output.substr(0, root ? slash + 1 : slash);
}

}  // namespace

void RequireWritableOutputFolder(const std::string& output) {
    const std::string prefix = "cannot write \"" + output + "\": ";
    const std::string folder = FolderOf(output);
    const DWORD folder_attributes = GetFileAttributesW(WidePath(folder).c_str());
    if (folder_attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        throw PackError(prefix + (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                                      ? "its folder \"" + folder + "\" does not exist"
                                      : "cannot examine its folder \"" + folder +
                                            "\": " + WindowsErrorText(error)));
    }
    if ((folder_attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        throw PackError(prefix + "\"" + folder + "\" is not a folder");
    }
    const DWORD attributes = GetFileAttributesW(WidePath(output).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw PackError(prefix + "it is a folder; name the file to write");
    }
    // A link or device there would only be refused at the rename, after the
    // compression.
    RefuseNonRegularOutput(output);
    // Attributes alone do not tell (ACLs, read-only media): a real file made
    // the way the output's temporary file will be made does.
    std::string probe;
    int error = 0;
    UniqueFd file = CreateNewFile(folder + "/.korvanthelm-probe-", "", probe, error);
    if (!file) {
        throw PackError(prefix + "cannot create a file in \"" + folder +
                        "\": " + WindowsErrorText(static_cast<DWORD>(error)));
    }
    file.reset();
    DeleteFileW(WidePath(probe).c_str());
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

bool FolderHasRoomFor(const std::string& folder, std::uint64_t size, int& error) {
    std::string probe;
    int create_error = 0;
    const UniqueFd file = CreateNewFile(folder + "/.korvanthelm-room-", "", probe, create_error);
    if (!file) {
        return true;
    }
    // Marked for deletion before anything is reserved: the file goes with
    // its handle however the packer ends.
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof dispose)) {
        DeleteFileW(WidePath(probe).c_str());
        return true;
    }
    if (size > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max())) {
        error = ERROR_FILE_TOO_LARGE;
        return false;
    }
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFileInformationByHandle(file.get(), FileAllocationInfo, &allocation,
                                    sizeof allocation)) {
        const DWORD failed = GetLastError();
        if (failed == ERROR_DISK_FULL || failed == ERROR_HANDLE_DISK_FULL ||
            failed == ERROR_FILE_TOO_LARGE) {
            error = static_cast<int>(failed);
            return false;
        }
    }
    return true;
}

}  // namespace korvanthelm::pack
