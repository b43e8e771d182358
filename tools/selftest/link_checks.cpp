#include "tools/selftest/link_checks.h"

// After windows.h (through link_checks.h): it needs its types.
#include <winioctl.h>

#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "package/extract_package.h"
#include "platform/sha256.h"
#include "platform/unique_resource.h"
#include "platform/work_directory.h"
#include "tools/selftest/entry_walk_driver.h"

namespace korvanthelm::selftest {
namespace {

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsReparsePoint(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool WriteText(const std::wstring& path, const std::string& text) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

std::optional<std::string> ReadText(const std::wstring& path) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::nullopt;
    }
    char buffer[256];
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) {
        return std::nullopt;
    }
    return std::string(buffer, read);
}

// Makes the existing empty folder `folder` a directory junction to the
// absolute folder `target` with FSCTL_SET_REPARSE_POINT, as any user may.
// Opened sharing read and write, so a folder another handle holds that way
// can be changed too. 0, or the error code.
DWORD SetJunction(const std::wstring& folder, const std::wstring& target) {
    DWORD error = 0;
    {
        const UniqueFile handle(CreateFileW(
            folder.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!handle) {
            return GetLastError();
        }
        // REPARSE_DATA_BUFFER, mount point: tag, data length, reserved, then
        // substitute name (NT path) and print name, each with a terminating
        // zero.
        const std::wstring substitute = L"\\??\\" + target;
        const std::size_t substitute_bytes = substitute.size() * sizeof(wchar_t);
        const std::size_t print_bytes = target.size() * sizeof(wchar_t);
        const std::size_t names_bytes = substitute_bytes + print_bytes + 2 * sizeof(wchar_t);
        std::vector<std::byte> buffer(16 + names_bytes);
        const auto put16 = [&](std::size_t at, std::size_t value) {
            const auto v = static_cast<std::uint16_t>(value);
            std::memcpy(buffer.data() + at, &v, sizeof(v));
        };
        const std::uint32_t tag = IO_REPARSE_TAG_MOUNT_POINT;
        std::memcpy(buffer.data(), &tag, sizeof(tag));
        put16(4, 8 + names_bytes);
        put16(8, 0);
        put16(10, substitute_bytes);
        put16(12, substitute_bytes + sizeof(wchar_t));
        put16(14, print_bytes);
        std::memcpy(buffer.data() + 16, substitute.data(), substitute_bytes);
        std::memcpy(buffer.data() + 16 + substitute_bytes + sizeof(wchar_t), target.data(),
                    print_bytes);
        DWORD returned = 0;
        if (!DeviceIoControl(handle.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                             static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr)) {
            error = GetLastError();
        }
    }
    if (error == 0 && !IsReparsePoint(folder)) {
        error = ERROR_NOT_SUPPORTED;  // the call said yes, the folder says no
    }
    return error;
}

// A new directory junction at `link`; 0, or the error code (then nothing is
// left at `link`).
DWORD MakeJunction(const std::wstring& link, const std::wstring& target) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) {
        return GetLastError();
    }
    const DWORD error = SetJunction(link, target);
    if (error != 0) {
        RemoveDirectoryW(link.c_str());
    }
    return error;
}

// A file symbolic link; 0 or the error code (1314: the account may not).
DWORD MakeFileLink(const std::wstring& link, const std::wstring& target) {
    // Unprivileged creation where Windows allows it (developer mode); older
    // versions refuse the flag itself.
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), 0x2) ||
        CreateSymbolicLinkW(link.c_str(), target.c_str(), 0)) {
        return IsReparsePoint(link) ? 0 : ERROR_NOT_SUPPORTED;
    }
    return GetLastError();
}

std::string NotMade(const char* what, DWORD error) {
    return std::string("cannot make a ") + what + " here (" + ErrorText(error) +
           (error == ERROR_PRIVILEGE_NOT_HELD ? ": the account may not create one" : "") +
           (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED
                ? ": this file system has none"
                : "") +
           ")";
}

class Scratch {
  public:
    explicit Scratch(const std::wstring& base) : path_(CreateWorkDirectory(base)) {}
    ~Scratch() { RemoveDirectoryTree(path_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::wstring operator/(const wchar_t* name) const { return path_ + L"\\" + name; }
    const std::wstring& path() const { return path_; }

  private:
    std::wstring path_;
};

CheckLine CleanUpOverJunction(const Scratch& scratch) {
    const char* name = "clean-up leaves a junction's target";
    const std::wstring target = scratch / L"junction-target";
    const std::wstring tree = scratch / L"tree-j";
    if (!CreateDirectoryW(target.c_str(), nullptr) || !WriteText(target + L"\\keep.txt", "keep") ||
        !CreateDirectoryW(tree.c_str(), nullptr) || !WriteText(tree + L"\\plain.txt", "x")) {
        return {name, Outcome::kFailed, "cannot prepare the scratch tree"};
    }
    if (const DWORD error = MakeJunction(tree + L"\\link", target); error != 0) {
        return {name, Outcome::kNotCheckable, NotMade("junction", error)};
    }
    RemoveDirectoryTree(tree);
    if (ReadText(target + L"\\keep.txt") != "keep") {
        return {name, Outcome::kFailed, "the junction's target lost keep.txt"};
    }
    if (Exists(tree + L"\\link") || Exists(tree)) {
        return {name, Outcome::kFailed, "the junction or its tree is still there"};
    }
    return {name, Outcome::kPassed, "link removed, target and its file intact"};
}

CheckLines FileLinkChecks(const Scratch& scratch) {
    const char* cleanup = "clean-up leaves a file link's target";
    const char* digest = "digest check refuses a file link";
    const std::wstring target = scratch / L"link-target.bin";
    const std::wstring tree = scratch / L"tree-f";
    if (!WriteText(target, "launcher bytes") || !CreateDirectoryW(tree.c_str(), nullptr)) {
        return {{cleanup, Outcome::kFailed, "cannot prepare the scratch tree"}};
    }
    const std::wstring link = tree + L"\\link.bin";
    if (const DWORD error = MakeFileLink(link, target); error != 0) {
        return {{cleanup, Outcome::kNotCheckable, NotMade("file symbolic link", error)},
                {digest, Outcome::kNotCheckable, NotMade("file symbolic link", error)}};
    }
    CheckLines lines;
    const std::string bytes = "launcher bytes";
    const std::wstring expected =
        ComputeSha256Text(reinterpret_cast<const std::byte*>(bytes.data()), bytes.size());
    if (!FileMatchesDigest(target, expected.c_str())) {
        lines.push_back({digest, Outcome::kFailed, "the link's target itself does not match"});
    } else if (FileMatchesDigest(link, expected.c_str())) {
        lines.push_back({digest, Outcome::kFailed, "a link to a matching file was accepted"});
    } else {
        lines.push_back({digest, Outcome::kPassed, "the target matches, the link is refused"});
    }
    RemoveDirectoryTree(tree);
    if (ReadText(target) != bytes) {
        lines.insert(lines.begin(), {cleanup, Outcome::kFailed, "the link's target changed"});
    } else if (Exists(link) || Exists(tree)) {
        lines.insert(lines.begin(), {cleanup, Outcome::kFailed, "the link is still there"});
    } else {
        lines.insert(lines.begin(), {cleanup, Outcome::kPassed, "link removed, target intact"});
    }
    return lines;
}

CheckLine ExtractionIntoJunction(const Scratch& scratch) {
    const char* name = "extraction refuses a junction as work directory";
    const std::wstring target = scratch / L"extract-target";
    const std::wstring work = scratch / L"work-link";
    if (!CreateDirectoryW(target.c_str(), nullptr)) {
        return {name, Outcome::kFailed, "cannot prepare the scratch tree"};
    }
    if (const DWORD error = MakeJunction(work, target); error != 0) {
        return {name, Outcome::kNotCheckable, NotMade("junction", error)};
    }
    const std::wstring message =
        MessageOfWrite(MakePackageTable({{"KORVANTHELM/KORVANTHELM.exe", "MZ"}}), work);
    if (message != kUnsafeWorkDirectory) {
        return {name, Outcome::kFailed,
                message.empty() ? "the entries were written" : "refused with " + Utf8(message)};
    }
    if (Exists(target + L"\\KORVANTHELM")) {
        return {name, Outcome::kFailed, "something was written through the junction"};
    }
    return {name, Outcome::kPassed, "refused, nothing written through it"};
}

// Between two entries in one folder, that folder (held by the walk) is
// emptied and made a junction, as another process could; the walk must
// refuse the second entry before anything is written through it.
CheckLine HeldFolderMadeJunction(const Scratch& scratch) {
    const char* name = "extraction refuses a held folder made a junction";
    const std::wstring target = scratch / L"held-target";
    const std::wstring work = scratch / L"work-held";
    if (!CreateDirectoryW(target.c_str(), nullptr) || !CreateDirectoryW(work.c_str(), nullptr)) {
        return {name, Outcome::kFailed, "cannot prepare the scratch tree"};
    }
    struct NotMadeHere {
        DWORD error;
    };
    const BeforeEntry turn_into_junction = [&](std::uint32_t entry) {
        if (entry != 1) {
            return;
        }
        DeleteFileW((work + L"\\a\\first.txt").c_str());
        if (const DWORD error = SetJunction(work + L"\\a", target); error != 0) {
            throw NotMadeHere{error};
        }
    };
    std::wstring message;
    try {
        message = MessageOfWrite(MakePackageTable({{"a/first.txt", "1"}, {"a/second.txt", "2"}}),
                                 work, turn_into_junction);
    } catch (const NotMadeHere& not_made) {
        return {name, Outcome::kNotCheckable, NotMade("junction of a held folder", not_made.error)};
    }
    if (Exists(target + L"\\second.txt")) {
        return {name, Outcome::kFailed, "the second entry was written through the junction"};
    }
    if (message != kUnsafeWorkDirectory) {
        return {name, Outcome::kFailed,
                message.empty() ? "the walk went on" : "refused with " + Utf8(message)};
    }
    return {name, Outcome::kPassed, "refused before the second entry, nothing written through it"};
}

// What CreateDirectoryW and CreateFileW do with a work directory whose
// entries pass 260 characters. Either answer is an answer; a call that says
// one thing while the file system shows another is a failure.
CheckLine LongPaths(const Scratch& scratch) {
    const char* name = "paths near 260 characters";
    std::wstring work = scratch.path() + L"\\";
    work.append(240 > work.size() ? 240 - work.size() : 1, L'w');
    std::string detail;
    const auto record = [&](const std::wstring& path, bool made, DWORD error) {
        detail += (detail.empty() ? "" : "; ") + std::to_string(path.size()) +
                  " chars: " + (made ? "made" : ErrorText(error));
        return made == Exists(path);
    };
    bool consistent = true;
    std::wstring path = work;
    for (const std::size_t length :
         {std::size_t{240}, std::size_t{255}, std::size_t{259}, std::size_t{262}}) {
        if (length > path.size()) {
            path += L"\\" + std::wstring(length - path.size() - 1, L'd');
        }
        const bool made = CreateDirectoryW(path.c_str(), nullptr) != 0;
        consistent = record(path, made, GetLastError()) && consistent;
        if (!made) {
            break;
        }
    }
    const std::wstring file = path + L"\\" + std::wstring(12, L'f') + L".txt";
    const bool written = WriteText(file, "x");
    consistent = record(file, written, GetLastError()) && consistent;
    return {name, consistent ? Outcome::kPassed : Outcome::kFailed,
            (consistent ? "" : "a call and the file system disagree: ") + detail};
}

}  // namespace

CheckLines CheckLinksAndLongPaths() {
    wchar_t base[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH) {
        return {{"scratch folder under TEMP", Outcome::kFailed, "no temporary folder"}};
    }
    std::wstring temp(base, length);
    while (!temp.empty() && temp.back() == L'\\') {
        temp.pop_back();
    }
    CheckLines lines;
    try {
        const Scratch scratch(temp);
        lines.push_back(CleanUpOverJunction(scratch));
        const CheckLines file_links = FileLinkChecks(scratch);
        lines.insert(lines.end(), file_links.begin(), file_links.end());
        lines.push_back(ExtractionIntoJunction(scratch));
        lines.push_back(HeldFolderMadeJunction(scratch));
        lines.push_back(LongPaths(scratch));
    } catch (const std::wstring& message) {
        lines.push_back({"scratch folder under TEMP", Outcome::kFailed, Utf8(message)});
    }
    return lines;
}

}  // namespace korvanthelm::selftest
