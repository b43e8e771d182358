// A private world for one run of a real KORVANTHELM.exe: a temporary base
// folder, an app-data folder and a canary folder under one root, so a test
// can prove that nothing outside the work directory was created or changed.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/windows/test_support.h"

namespace korvanthelm::testing {

inline std::wstring Variable(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    return length == 0 || length > 4095 ? std::wstring() : std::wstring(buffer, length);
}

// The folder of the end-to-end exes: ..\e2e from the test's own folder.
inline std::wstring E2eDirectory() {
    const std::wstring bin = ExeDirectory();
    return bin.substr(0, bin.rfind(L'\\')) + L"\\e2e";
}

// The exe built around package `name` (see make_packages.py).
inline std::wstring E2eExe(const std::wstring& name) {
    return E2eDirectory() + L"\\" + name + L"\\KORVANTHELM.exe";
}

struct ProbeReport {
    std::string cmdline;
    std::string cwd;
};

class E2eWorld : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Exists(E2eExe(L"ok_probe")));
        temp_ = root_ / L"temp";
        app_data_ = root_ / L"Roaming";
        MakeDirectories(temp_);
        MakeDirectories(app_data_ + L"\\KORVANTHELM");
        MakeDirectories(root_ / L"canary\\sub");
        WriteBytes(root_ / L"canary\\sub\\keep.txt", "canary");
        report_ = root_ / L"canary\\report.txt";
    }

    // TEMP and APPDATA point into the world; the probe reports to a file that
    // the snapshot excludes.
    std::vector<EnvChange> Environment() const {
        return {{L"TEMP", temp_},
                {L"TMP", temp_},
                {L"APPDATA", app_data_},
                {L"KORVANTHELM_PROBE_REPORT", report_}};
    }

    std::map<std::wstring, std::string> WorldSnapshot() const {
        auto snapshot = Snapshot(root_.path());
        snapshot.erase(L"canary\\report.txt");
        return snapshot;
    }

    // The set-up program's reports, one per start.
    std::vector<ProbeReport> Reports() const {
        std::vector<ProbeReport> reports;
        const std::string text = ReadBytes(report_);
        if (text == "<missing>") {
            return reports;
        }
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t cmd_end = text.find('\n', start);
            const std::size_t cwd_end = text.find('\n', cmd_end + 1);
            if (cmd_end == std::string::npos || cwd_end == std::string::npos) {
                break;
            }
            reports.push_back({text.substr(start + 8, cmd_end - start - 8),
                               text.substr(cmd_end + 5, cwd_end - cmd_end - 5)});
            start = cwd_end + 1;
        }
        return reports;
    }

    TempDir root_;
    std::wstring temp_, app_data_, report_;
};

}  // namespace korvanthelm::testing
