#include "tools/pack/try/try_world.h"

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/folders.h"
#include "tools/pack/try/user_folders.h"

namespace korvanthelm::pack {

void RefuseUnusableKeep(const std::string& keep) {
    if (!keep.empty() && PathExists(keep) && !IsEmptyFolder(keep)) {
        throw PackError("--keep " + keep + ": not an empty folder (try puts a new world there)");
    }
}

TryWorld MakeTryWorld(const std::string& keep, const std::string& prefix) {
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
    for (const std::string* folder : {&world.temp, &world.app_data, &world.local_app_data}) {
        MakeFolders(*folder);
    }
    MakeFolders(world.app_data + "/KORVANTHELM");
    return world;
}

std::string WindowsPath(const std::string& unix_path) {
    std::string path = "Z:" + unix_path;
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
    const char drive = static_cast<char>(windows_path[0] | 0x20);
    std::string rest = windows_path.substr(2);
    for (char& c : rest) {
        if (c == '\\') {
            c = '/';
        }
    }
    if (drive == 'z') {
        return rest;
    }
    if (drive == 'c') {
        return world.prefix + "/drive_c" + rest;
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
