// korvanthelm-selftest: what only the Windows at hand can answer about a
// built KORVANTHELM.exe and the system it will run on, one line per check.
//
//   korvanthelm-selftest [PATH\KORVANTHELM.exe]   (default: the one beside it)
//
// Each line is "passed", "FAILED" (with the reason and the numbers) or "not
// checkable here" (with the reason; never counted as passed). Exit code 0
// when every check that ran passed, 1 otherwise. A release engineer copies
// it beside the exe to each Windows version the release supports. Never
// shipped to players.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "tools/selftest/check_line.h"
#include "tools/selftest/compressor_check.h"
#include "tools/selftest/link_checks.h"
#include "tools/selftest/package_checks.h"
#include "tools/selftest/platform_checks.h"

namespace {

namespace st = korvanthelm::selftest;

std::wstring ExeBesideThisProgram() {
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
    std::wstring own(path, length < 32768 ? length : 0);
    return own.substr(0, own.rfind(L'\\') + 1) + L"KORVANTHELM.exe";
}

std::string WindowsVersion() {
    // GetVersionEx answers what the manifest allows; ntdll's RtlGetVersion
    // tells the truth.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    const auto get_version = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (get_version == nullptr || get_version(&info) != 0) {
        return "unknown";
    }
    std::string version = std::to_string(info.dwMajorVersion) + "." +
                          std::to_string(info.dwMinorVersion) + "." +
                          std::to_string(info.dwBuildNumber);
    using WineVersionFn = const char*(__cdecl*)();
    if (const auto wine = reinterpret_cast<WineVersionFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")))) {
        version += std::string(" (Wine ") + wine() + ")";
    }
    return version;
}

const char* OutcomeText(st::Outcome outcome) {
    switch (outcome) {
        case st::Outcome::kPassed:
            return "passed";
        case st::Outcome::kFailed:
            return "FAILED";
        case st::Outcome::kNotCheckable:
            return "not checkable here";
    }
    return "?";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc > 2 ||
        (argc == 2 && (std::wstring(argv[1]) == L"--help" || std::wstring(argv[1]) == L"-h"))) {
        std::printf("usage: korvanthelm-selftest [PATH\\KORVANTHELM.exe]\n");
        return argc > 2 ? 2 : 0;
    }
    const std::wstring exe = argc == 2 ? argv[1] : ExeBesideThisProgram();
    std::printf("KORVANTHELM self-test of %s on Windows %s\n\n", st::Utf8(exe).c_str(),
                WindowsVersion().c_str());

    st::CheckLines lines;
    lines.push_back(st::CheckCabinetOrdinals());
    lines.push_back(st::CheckSha256KnownAnswers());
    lines.push_back(st::CheckEncoderBlocks());
    lines.push_back(st::CheckSignatureTrust(exe));
    for (st::CheckLines more : {st::CheckPackage(exe), st::CheckLinksAndLongPaths()}) {
        lines.insert(lines.end(), more.begin(), more.end());
    }

    int failed = 0, passed = 0, unchecked = 0;
    for (const st::CheckLine& line : lines) {
        std::printf("%-50s %-19s %s\n", line.name.c_str(), OutcomeText(line.outcome),
                    line.detail.c_str());
        failed += line.outcome == st::Outcome::kFailed;
        passed += line.outcome == st::Outcome::kPassed;
        unchecked += line.outcome == st::Outcome::kNotCheckable;
    }
    std::printf("\n%d passed, %d failed, %d not checkable here\n", passed, failed, unchecked);
    return failed == 0 ? 0 : 1;
}
