#include <windows.h>

#include <optional>

#include "platform/unique_resource.h"
#include "tools/pack/platform/paths_name_one_file.h"
#include "tools/pack/platform/wide_path.h"

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
