#include "tools/pack/try/check_setup_contract.h"

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/hashing.h"

namespace korvanthelm::pack {
namespace {

// The bootstrapper reads this much of each text file, in one read.
constexpr std::size_t kTextFileLimit = 8192;
// The bootstrapper refuses to hash a launcher file larger than this.
constexpr std::uint64_t kLauncherFileLimit = std::uint64_t{256} << 20;

std::optional<std::string> ReadBootstrapperText(const std::optional<std::string>& path) {
    if (!path) {
        return std::nullopt;
    }
    std::optional<std::string> bytes = ReadFileStart(*path, kTextFileLimit);
    if (!bytes) {
        return std::nullopt;
    }
    return BootstrapperText(std::move(*bytes));
}

std::optional<std::string> DigestOf(const std::optional<std::string>& path) {
    if (!path) {
        return std::nullopt;
    }
    try {
        return FileSha256Text(*path, kLauncherFileLimit);
    } catch (const PackError&) {
        return std::nullopt;
    }
}

// A text another program wrote, safe on one line of the report: control
// characters become '?'.
std::string Shown(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '\x7f') {
            c = '?';
        }
    }
    return text;
}

// "installed X, built with Y" for a file whose digest differs.
std::string BothDigests(const std::string& installed, const std::string& built) {
    return "installed " + installed + ", built with " + built;
}

void CheckBuildMark(SetupContract& contract, const ExecutableDigests& digests) {
    const std::string mark = contract.launcher_folder + "\\app\\launcher.build";
    if (!contract.build_mark) {
        contract.problems.push_back("app\\launcher.build is missing: " + Shown(mark));
    } else if (*contract.build_mark != digests.launcher_jar) {
        contract.problems.push_back(
            "app\\launcher.build does not hold LauncherJarDigest: it holds \"" +
            Shown(*contract.build_mark) + "\", not " + digests.launcher_jar);
    }
}

void CheckLauncherFiles(SetupContract& contract, const ExecutableDigests& digests) {
    if (!contract.exe_digest) {
        contract.problems.push_back("the launcher exe cannot be read: " + Shown(*contract.record));
    } else if (*contract.exe_digest != digests.launcher_exe) {
        contract.problems.push_back(
            "the launcher exe is not the one this exe was built with "
            "(LauncherExeDigest): " +
            BothDigests(*contract.exe_digest, digests.launcher_exe));
    }
    const std::string jar = contract.launcher_folder + "\\app\\KorvanThelm.jar";
    if (!contract.jar_digest) {
        contract.problems.push_back("the launcher jar is missing: " + Shown(jar));
    } else if (*contract.jar_digest != digests.launcher_jar) {
        contract.problems.push_back(
            "the launcher jar is not the one this exe was built with "
            "(LauncherJarDigest): " +
            BothDigests(*contract.jar_digest, digests.launcher_jar));
    }
}

}  // namespace

std::string BootstrapperText(std::string bytes) {
    if (bytes.size() > kTextFileLimit) {
        bytes.resize(kTextFileLimit);
    }
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.erase(0, 3);
    }
    while (!bytes.empty() &&
           (bytes.back() == '\r' || bytes.back() == '\n' || bytes.back() == ' ')) {
        bytes.pop_back();
    }
    return bytes;
}

SetupContract CheckSetupContract(const TryWorld& world, const ExecutableDigests& digests) {
    SetupContract contract;
    contract.record = ReadBootstrapperText(world.app_data + "/KORVANTHELM/launcher.path");
    if (!contract.record || contract.record->empty()) {
        contract.record.reset();
        contract.problems.push_back(
            "no launcher record: %APPDATA%\\KORVANTHELM\\launcher.path "
            "is missing or empty");
        return contract;
    }
    const std::string& record = *contract.record;
    const std::size_t last = record.rfind('\\');
    contract.launcher_folder = last == std::string::npos ? record : record.substr(0, last);
    const std::optional<std::string> exe = UnixPath(world, record);
    contract.exe_digest = DigestOf(exe);
    contract.jar_digest =
        DigestOf(UnixPath(world, contract.launcher_folder + "\\app\\KorvanThelm.jar"));
    contract.build_mark =
        ReadBootstrapperText(UnixPath(world, contract.launcher_folder + "\\app\\launcher.build"));
    if (!exe || !ReadFileStart(*exe, /*limit=*/0)) {
        contract.problems.push_back("the launcher record names a missing file: " + Shown(record));
        return contract;
    }
    CheckBuildMark(contract, digests);
    CheckLauncherFiles(contract, digests);
    return contract;
}

}  // namespace korvanthelm::pack
