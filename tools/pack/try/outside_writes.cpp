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

PrefixFiles ReadPrefixFiles(const PrivateWine& wine) {
    return {FingerprintTree(wine.prefix + "/drive_c"), FingerprintTree(wine.home)};
}

OutsideWrites FindOutsideWrites(const PrivateWine& wine, const PrefixFiles& before) {
    const PrefixFiles after = ReadPrefixFiles(wine);
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
    return writes;
}

}  // namespace korvanthelm::pack
