// Helpers shared by the Windows tests: real temporary folders, files, child
// processes with their own environment, and snapshots of folder trees.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace korvanthelm::testing {

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// The folder of the running test exe (helpers are built next to it).
std::wstring ExeDirectory();
// A name nobody else uses: `prefix` + 16 hex digits.
std::wstring UniqueName(const std::wstring& prefix);

// SHA-256 of `bytes` as 64 lowercase hex digits (independent of the product's).
std::wstring Sha256Hex(const std::string& bytes);

bool Exists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
void MakeDirectories(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
// Removes a tree completely, whatever its attributes (test clean-up only).
void ForceRemoveTree(const std::wstring& path);

// A fresh folder under the test process's temporary path, removed at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

  private:
    std::wstring path_;
};

// Every entry below `root`: relative path -> file contents, or "<dir>" for a
// folder. Two snapshots compare equal when nothing was created, changed or
// removed.
std::map<std::wstring, std::string> Snapshot(const std::wstring& root);

// Environment changes for a child: a value sets the variable, nullopt-like
// empty `unset` removes it.
struct EnvChange {
    std::wstring name;
    std::wstring value;
    bool unset = false;
};

struct RunResult {
    bool started = false;
    DWORD error = 0;  // CreateProcessW's error when not started
    DWORD exit_code = 0;
    bool timed_out = false;
    std::string output;  // the child's stdout
};

// Runs `command_line` with the given environment changes, stdout captured,
// killed after `timeout_ms`.
RunResult Run(const std::wstring& command_line, const std::vector<EnvChange>& env = {},
              DWORD timeout_ms = 90000);

// `argument` quoted so that CommandLineToArgvW gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument);

// Runs `exe` through watcher.exe with the given environment: exit code and the
// texts of the message boxes it showed (one per line). With `at_box`, each
// text is preceded by the line "at the box: N match <at_box>" (the count of
// names matching that FindFirstFileW pattern while the box was up).
struct WatchedRun {
    DWORD exit_code = 0;
    std::vector<std::string> messages;
};
WatchedRun RunWatched(const std::wstring& exe, const std::vector<EnvChange>& env = {},
                      const std::wstring& arguments = L"", const std::wstring& at_box = L"");

}  // namespace korvanthelm::testing
