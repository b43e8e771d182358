#include "tools/pack/commands/check_launcher_digests.h"

#include <string>
#include <string_view>
#include <vector>

#include "format/package_table.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/platform/hashing.h"

namespace korvanthelm::pack {
namespace {

bool EndsWithIgnoringAsciiCase(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) {
        return false;
    }
    const std::string_view tail = text.substr(text.size() - suffix.size());
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        const char c = tail[i] >= 'A' && tail[i] <= 'Z' ? static_cast<char>(tail[i] + 32) : tail[i];
        if (c != suffix[i]) {
            return false;
        }
    }
    return true;
}

// The paths of the entries whose bytes have `digest`.
struct Matches {
    std::vector<std::string> paths;

    bool All(std::string_view suffix) const {
        for (const std::string& path : paths) {
            if (!EndsWithIgnoringAsciiCase(path, suffix)) {
                return false;
            }
        }
        return !paths.empty();
    }
};

}  // namespace

void CheckLauncherDigests(std::span<const std::byte> table, const ExecutableDigests& digests,
                          const WarnFunction& warn) {
    Matches exe;
    Matches jar;
    format::PackageRecordWalker walker(table);
    format::PackageRecord record;
    while (walker.Next(record)) {
        const std::string digest = Sha256Text(record.data);
        const std::string path(reinterpret_cast<const char*>(record.path.data()),
                               record.path.size());
        if (digest == digests.launcher_exe) {
            exe.paths.push_back(path);
        }
        if (digest == digests.launcher_jar) {
            jar.paths.push_back(path);
        }
    }
    if (exe.paths.empty() && jar.paths.empty()) {
        warn({kLauncherDigestNotInPackage,
              {},
              "neither launcher digest is that of an entry of the package: LauncherExeDigest " +
                  digests.launcher_exe + " and LauncherJarDigest " + digests.launcher_jar +
                  " may belong to another tree (give the digests file pack wrote with it)"});
        return;
    }
    if (exe.All(".jar") && jar.All(".exe")) {
        warn({kLauncherDigestsSwapped, exe.paths.front(),
              "the launcher digests look swapped: LauncherExeDigest is that of \"" +
                  PrintablePath(exe.paths.front()) + "\" and LauncherJarDigest that of \"" +
                  PrintablePath(jar.paths.front()) + "\""});
    }
}

}  // namespace korvanthelm::pack
