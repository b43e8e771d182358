#include "tools/pack/try/try_world.h"

#include <algorithm>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/folders.h"
#include "tools/pack/try/user_folders.h"

namespace korvanthelm::pack {
namespace {

// "/a/b" for the steps of `path` ("/"-separated) taken as Windows takes
// them on a drive: "." and empty steps dropped, ".." back one step but never
// above the drive's root; "" for the root itself.
std::string StepsOnDrive(std::string_view path) {
    std::vector<std::string_view> steps;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view step = path.substr(0, slash);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
        if (step == "..") {
            if (!steps.empty()) {
                steps.pop_back();
            }
        } else if (!step.empty() && step != ".") {
            steps.push_back(step);
        }
    }
    std::string joined;
    for (const std::string_view step : steps) {
        joined += '/';
        joined += step;
    }
    return joined;
}

}  // namespace

void RefuseUnusableKeep(const std::string& keep) {
    if (!keep.empty() && PathExists(keep) && !IsEmptyFolder(keep)) {
        throw PackError("--keep " + keep + ": not an empty folder (try puts a new world there)");
    }
}

TryWorld MakeTryWorld(const std::string& keep, const std::string& prefix, const std::string& exe,
                      const std::string& watcher) {
    TryWorld world;
    if (keep.empty()) {
        world.root = CreateFreshFolder(TemporaryFolder(), "korvanthelm-try-");
    } else {
        RefuseUnusableKeep(keep);
        MakeFolders(keep);
        world.root = AbsolutePath(keep);
    }
    world.temp = world.root + "/temp";
    world.app_data = world.root + "/Roaming";
    world.local_app_data = world.root + "/Local";
    world.prefix = prefix;
    world.drives = TryDrivesOf(world.root, exe, watcher);
    for (const std::string* folder : {&world.temp, &world.app_data, &world.local_app_data}) {
        MakeFolders(*folder);
    }
    MakeFolders(world.app_data + "/KORVANTHELM");
    return world;
}

std::vector<TryDrive> TryDrivesOf(const std::string& root, const std::string& exe,
                                  const std::string& watcher) {
    const auto folder_of = [](const std::string& path) { return path.substr(0, path.rfind('/')); };
    return {{kWorldDrive, root}, {kExeDrive, folder_of(exe)}, {kWatcherDrive, folder_of(watcher)}};
}

std::string WindowsPath(const TryWorld& world, const std::string& unix_path) {
    const TryDrive* closest = nullptr;
    for (const TryDrive& drive : world.drives) {
        const bool holds = unix_path == drive.folder || unix_path.starts_with(drive.folder + "/");
        if (holds && (closest == nullptr || drive.folder.size() > closest->folder.size())) {
            closest = &drive;
        }
    }
    if (closest == nullptr) {
        throw PackError(unix_path + " is on none of the drives try gives the programs it runs");
    }
    std::string path = std::string(1, static_cast<char>(closest->letter - 'a' + 'A')) + ":\\" +
                       unix_path.substr(std::min(unix_path.size(), closest->folder.size() + 1));
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

std::optional<std::string> UnixPath(const TryWorld& world, const std::string& windows_path) {
    if (windows_path.size() < 3 || windows_path[1] != ':' || windows_path[2] != '\\') {
        return std::nullopt;
    }
    const char letter = windows_path[0];
    const bool upper = letter >= 'A' && letter <= 'Z';
    if (!upper && !(letter >= 'a' && letter <= 'z')) {
        return std::nullopt;
    }
    const char drive_letter = upper ? static_cast<char>(letter - 'A' + 'a') : letter;
    std::string rest = windows_path.substr(2);
    for (char& c : rest) {
        if (c == '\\') {
            c = '/';
        }
    }
    const std::string steps = StepsOnDrive(rest);
    if (drive_letter == 'c') {
        return world.prefix + "/drive_c" + steps;
    }
    for (const TryDrive& drive : world.drives) {
        if (drive.letter == drive_letter) {
            const std::string path = drive.folder + steps;
            return path.empty() ? std::string("/") : path;
        }
    }
    return std::nullopt;
}

std::string AppDataPath(const TryWorld& world, std::string_view contract_path) {
    std::string path = world.app_data + std::string(contract_path);
    for (std::size_t i = world.app_data.size(); i < path.size(); ++i) {
        if (path[i] == '\\') {
            path[i] = '/';
        }
    }
    return path;
}

}  // namespace korvanthelm::pack
