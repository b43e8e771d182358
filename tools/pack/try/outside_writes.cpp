#include "tools/pack/try/outside_writes.h"

#include <algorithm>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/try/registry_changes.h"

namespace korvanthelm::pack {
namespace {

// The entries added, removed or changed, below a new or removed folder only
// the folder, each as `prefix` + its path with `separator` between names.
void AddChangedFiles(const TreeFingerprint& before, const TreeFingerprint& after,
                     const std::string& prefix, char separator, std::vector<std::string>& out) {
    std::vector<std::string> changed;
    for (const auto& [path, what] : after) {
        const auto old = before.find(path);
        if (old == before.end() || old->second != what) {
            changed.push_back(path);
        }
    }
    for (const auto& [path, what] : before) {
        if (!after.contains(path)) {
            changed.push_back(path);
        }
    }
    std::sort(changed.begin(), changed.end());
    std::string folder;  // the last folder reported whole
    for (const std::string& path : changed) {
        if (!folder.empty() && path.starts_with(folder + "/")) {
            continue;
        }
        const bool whole_folder = !before.contains(path) || !after.contains(path);
        folder = whole_folder ? path : std::string();
        std::string shown = path;
        std::replace(shown.begin(), shown.end(), '/', separator);
        out.push_back(prefix + shown);
    }
}

RegistryKeys ReadRegistry(const std::string& path) {
    try {
        const std::vector<std::byte> bytes = ReadWholeFile(path);
        return ReadRegistryFile(
            std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } catch (const PackError&) {
        return {};
    }
}

}  // namespace

std::vector<std::string> OtherDriveFolders(const TryWorld& world) {
    std::vector<std::string> folders;
    for (const TryDrive& drive : world.drives) {
        const std::string folder = drive.folder.empty() ? std::string("/") : drive.folder;
        if (drive.letter != kWorldDrive &&
            std::find(folders.begin(), folders.end(), folder) == folders.end()) {
            folders.push_back(folder);
        }
    }
    return folders;
}

PrefixFiles ReadPrefixFiles(const PrivateWine& wine, const TryWorld& world) {
    PrefixFiles files{FingerprintTree(wine.prefix + "/drive_c"), FingerprintTree(wine.home), {}};
    for (const std::string& folder : OtherDriveFolders(world)) {
        files.other_drives.push_back(FingerprintFolder(folder));
    }
    return files;
}

OutsideWrites FindOutsideWrites(const PrivateWine& wine, const TryWorld& world,
                                const PrefixFiles& before) {
    const PrefixFiles after = ReadPrefixFiles(wine, world);
    std::vector<std::string> drive_c;
    std::vector<std::string> home;
    AddChangedFiles(before.drive_c, after.drive_c, "C:\\", '\\', drive_c);
    AddChangedFiles(before.home, after.home, wine.home + "/", '/', home);
    OutsideWrites writes;
    writes.files = !drive_c.empty() || !home.empty();
    writes.written = std::move(drive_c);
    // Where each file's keys live, as Windows names the root.
    static constexpr const char* kRoots[] = {"HKEY_LOCAL_MACHINE\\", "HKEY_CURRENT_USER\\",
                                             "HKEY_USERS\\.Default\\"};
    for (std::size_t i = 0; i < std::size(kRegistryFiles); ++i) {
        const std::string name = kRegistryFiles[i];
        for (const std::string& key :
             ChangedRegistryKeys(ReadRegistry(CleanRegistryFolder(wine) + "/" + name),
                                 ReadRegistry(wine.prefix + "/" + name))) {
            writes.written.push_back(kRoots[i] + key);
        }
    }
    writes.written.insert(writes.written.end(), home.begin(), home.end());
    // Not the prefix's: what was written there stays, and is only reported.
    const std::vector<std::string> folders = OtherDriveFolders(world);
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const std::string slash = folders[i] == "/" ? "" : "/";
        AddChangedFiles(before.other_drives[i], after.other_drives[i], folders[i] + slash, '/',
                        writes.written);
    }
    return writes;
}

}  // namespace korvanthelm::pack
