#include "platform/work_directory.h"

#include <windows.h>

#include <array>

#include "format/setup_contract.h"
#include "platform/bcrypt_library.h"
#include "platform/failure_message.h"
#include "platform/unique_resource.h"

namespace korvanthelm {
namespace {

constexpr int kMaxAttempts = 8;
constexpr auto kNamePrefix = format::SpelledAs<wchar_t>(format::kWorkDirectoryPath);
constexpr DWORD kAttributesRefusingDeletion =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

bool IsDotEntry(const wchar_t* name) {
    return (name[0] == L'.' && name[1] == L'\0') ||
           (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

void RemovePass(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    // A link given as the root is removed as an entry; what it points to is
    // never looked at.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        WIN32_FIND_DATAW entry;
        const UniqueFind find(FindFirstFileW((path + L"\\*").c_str(), &entry));
        if (find) {
            do {
                if (IsDotEntry(entry.cFileName)) {
                    continue;
                }
                const std::wstring entry_path = path + L'\\' + entry.cFileName;
                const DWORD entry_attributes = entry.dwFileAttributes;
                if ((entry_attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                    // The link itself goes, untouched; its target stays as it is.
                    if ((entry_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                        RemoveDirectoryW(entry_path.c_str());
                    } else {
                        DeleteFileW(entry_path.c_str());
                    }
                } else if ((entry_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    RemovePass(entry_path);
                } else {
                    // Read-only, hidden and system are cleared first, as they
                    // could refuse deletion. The files we unpacked carry none
                    // of them, and the reset would cost every one of them a
                    // second call (under Wine as much as the deletion itself),
                    // so only a file whose record shows one gets it. A file
                    // made read-only after it was listed stays for the
                    // driver's next pass, which lists it anew.
                    if ((entry_attributes & kAttributesRefusingDeletion) != 0) {
                        SetFileAttributesW(entry_path.c_str(), FILE_ATTRIBUTE_NORMAL);
                    }
                    DeleteFileW(entry_path.c_str());
                }
            } while (FindNextFileW(find.get(), &entry));
        }
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

bool SystemRandom(std::span<std::byte, 16> bytes) noexcept {
    const BcryptLibrary bcrypt = LoadBcryptLibrary();
    const auto gen_random = bcrypt.gen_random;
    return gen_random != nullptr &&
           gen_random(/*algorithm=*/nullptr, reinterpret_cast<PUCHAR>(bytes.data()),
                      static_cast<ULONG>(bytes.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

std::wstring CreateWorkDirectory(const std::wstring& base, const RandomSource& random) {
    static constexpr wchar_t kHexDigits[] = L"0123456789abcdef";
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        std::array<std::byte, 16> bytes = {};
        if (!random(bytes)) {
            ThrowFailure(kWorkDirectoryFailed);
        }
        std::wstring candidate = base + kNamePrefix.text;
        for (const std::byte byte : bytes) {
            const auto value = std::to_integer<unsigned>(byte);
            candidate.push_back(kHexDigits[value >> 4]);
            candidate.push_back(kHexDigits[value & 0x0F]);
        }
        if (CreateDirectoryW(candidate.c_str(), /*security=*/nullptr)) {
            return candidate;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            ThrowFailure(kWorkDirectoryFailed);
        }
        // Somebody else's folder: draw again, leave it alone.
    }
    ThrowFailure(kWorkDirectoryFailed);
}

void RemoveDirectoryTree(const std::wstring& path) noexcept {
    // Clean-up runs while a failure message is on its way to the user: running
    // out of memory for a path here must not replace that message or end the
    // program, so the pass just stops.
    try {
        RemovePass(path);
    } catch (...) {
    }
}

}  // namespace korvanthelm
