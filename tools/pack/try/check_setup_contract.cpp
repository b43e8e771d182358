#include "tools/pack/try/check_setup_contract.h"

#include "format/setup_contract.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/hashing.h"

namespace korvanthelm::pack {
namespace {

std::optional<std::string> ReadBootstrapperText(const std::optional<std::string>& path) {
    if (!path) {
        return std::nullopt;
    }
    std::optional<std::string> bytes = ReadFileStart(*path, format::kTextFileLimit);
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
        return FileSha256Text(*path, format::kLauncherFileLimit);
    } catch (const PackError&) {
        return std::nullopt;
    }
}

// "installed X, built with Y" for a file whose digest differs.
std::string BothDigests(const std::string& installed, const std::string& built) {
    return "installed " + installed + ", built with " + built;
}

void CheckBuildMark(SetupContract& contract, const ExecutableDigests& digests) {
    const std::string mark = contract.launcher_folder + format::kBuildMarkPath;
    if (!contract.build_mark) {
        contract.problems.push_back("app\\launcher.build is missing: " + mark);
    } else if (*contract.build_mark != digests.launcher_jar) {
        contract.problems.push_back(
            "app\\launcher.build does not hold LauncherJarDigest: it holds \"" +
            *contract.build_mark + "\", not " + digests.launcher_jar);
    }
}

void CheckLauncherFiles(SetupContract& contract, const ExecutableDigests& digests) {
    if (!contract.exe_digest) {
        contract.problems.push_back("the launcher exe cannot be read: " + *contract.record);
    } else if (*contract.exe_digest != digests.launcher_exe) {
        contract.problems.push_back(
            "the launcher exe is not the one this exe was built with "
            "(LauncherExeDigest): " +
            BothDigests(*contract.exe_digest, digests.launcher_exe));
    }
    const std::string jar = contract.launcher_folder + format::kLauncherJarPath;
    if (!contract.jar_digest) {
        contract.problems.push_back("the launcher jar is missing: " + jar);
    } else if (*contract.jar_digest != digests.launcher_jar) {
        contract.problems.push_back(
            "the launcher jar is not the one this exe was built with "
            "(LauncherJarDigest): " +
            BothDigests(*contract.jar_digest, digests.launcher_jar));
    }
}

}  // namespace

std::string BootstrapperText(std::string bytes) {
    return std::string(format::ContractText(bytes));
}

SetupContract CheckSetupContract(const TryWorld& world, const ExecutableDigests& digests) {
    SetupContract contract;
    contract.record = ReadBootstrapperText(AppDataPath(world, format::kLauncherRecordPath));
    if (!contract.record || contract.record->empty()) {
        contract.record.reset();
        contract.problems.push_back(std::string("no launcher record: %APPDATA%") +
                                    format::kLauncherRecordPath + " is missing or empty");
        return contract;
    }
    const std::string& record = *contract.record;
    const std::size_t last = record.rfind('\\');
    contract.launcher_folder = last == std::string::npos ? record : record.substr(0, last);
    const std::optional<std::string> exe = UnixPath(world, record);
    contract.exe_digest = DigestOf(exe);
    contract.jar_digest =
        DigestOf(UnixPath(world, contract.launcher_folder + format::kLauncherJarPath));
    contract.build_mark =
        ReadBootstrapperText(UnixPath(world, contract.launcher_folder + format::kBuildMarkPath));
    if (!exe || !ReadFileStart(*exe, /*limit=*/0)) {
        contract.problems.push_back("the launcher record names a missing file: " + record);
        return contract;
    }
    CheckBuildMark(contract, digests);
    CheckLauncherFiles(contract, digests);
    return contract;
}

}  // namespace korvanthelm::pack
