#include "tools/pack/checks/check_package_file.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/compress/unpack_package.h"
#include "tools/pack/pe/assemble_executable.h"
#include "tools/pack/pe/find_package_resource.h"
#include "tools/pack/platform/hashing.h"

namespace korvanthelm::pack {

DecodedPackage DecodeCheckedPackage(std::span<const std::byte> file,
                                    std::optional<DigestSlotContents> slot,
                                    std::optional<ProvenPackage> proven) {
    DecodedPackage decoded{{file, LooksLikePeImage(file), {}, 0, {}, {}, {}, {}}, {}};
    CheckedPackage& checked = decoded.checked;
    if (!checked.from_executable) {
        slot.reset();
    } else {
        checked.package = FindPackageResource(file);
        if (!slot) {
            slot = ReadDigestSlot(file);
        }
        if (!slot->filled) {
            throw PackError("the executable's digest slot is empty");
        }
    }
    checked.digest = Sha256Text(checked.package);
    const bool is_proven = proven && std::ranges::equal(checked.package, proven->package);
    if (!is_proven) {
        decoded.table = UnpackPackage(checked.package);
    }
    const std::span<const std::byte> table =
        is_proven ? proven->table : std::span<const std::byte>(decoded.table);
    checked.table_size = table.size();
    checked.entries = CheckPackageTable(table);
    checked.programs =
        is_proven && proven->programs != nullptr ? *proven->programs : FindPackagePrograms(table);
    std::vector<std::string_view> paths;
    for (const PackageEntrySummary& entry : checked.entries) {
        paths.push_back(entry.path);
    }
    RequireSetupProgram(paths, "the package");
    if (std::optional<std::string> warning = PathLimitWarning(checked.entries)) {
        checked.warnings.push_back(std::move(*warning));
    }
    if (slot) {
        if (slot->digests.package != checked.digest) {
            throw PackError(
                "the executable's PackageDigest does not match its package resource (digest " +
                checked.digest + ", the executable holds \"" +
                PrintablePath(slot->digests.package) + "\")");
        }
        for (const auto& [name, text] :
             {std::pair{"LauncherExeDigest", &slot->digests.launcher_exe},
              std::pair{"LauncherJarDigest", &slot->digests.launcher_jar}}) {
            if (!IsDigestText(*text)) {
                throw PackError(std::string("the executable's ") + name + " is \"" +
                                PrintablePath(*text) + "\", not a digest");
            }
        }
    }
    checked.slot = std::move(slot);
    return decoded;
}

CheckedPackage CheckPackageFile(std::span<const std::byte> file,
                                std::optional<DigestSlotContents> slot) {
    return DecodeCheckedPackage(file, std::move(slot)).checked;
}

}  // namespace korvanthelm::pack
