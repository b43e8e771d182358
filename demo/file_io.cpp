#include "demo/file_io.h"

#include <windows.h>

#include <algorithm>

#include "demo/demo_failure.h"
#include "platform/unique_resource.h"

namespace korvanthelm::demo {
namespace {

// The bootstrapper refuses to hash anything larger, so a larger launcher file
// could never be recognised as installed.
constexpr ULONGLONG kMaxFileBytes = 256ull * 1024 * 1024;
// ReadFile/WriteFile take a 32-bit count; go in steps well below it.
constexpr DWORD kStepBytes = 1u << 20;

void WriteAll(HANDLE file, const std::wstring& path, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const DWORD step = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kStepBytes));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), step, &written, /*overlapped=*/nullptr)) {
            ThrowWin32Failure(L"cannot write", path, GetLastError());
        }
        if (written == 0) {
            ThrowWin32Failure(L"cannot write", path, ERROR_WRITE_FAULT);
        }
        bytes = bytes.subspan(written);
    }
}

}  // namespace

std::vector<std::byte> ReadWholeFile(const std::wstring& path) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, /*security=*/nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, /*template=*/nullptr));
    if (!file) {
        ThrowWin32Failure(L"cannot open", path, GetLastError());
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        ThrowWin32Failure(L"cannot size", path, GetLastError());
    }
    if (size.QuadPart < 0 || static_cast<ULONGLONG>(size.QuadPart) > kMaxFileBytes) {
        ThrowWin32Failure(L"too large:", path, ERROR_FILE_TOO_LARGE);
    }
    std::vector<std::byte> bytes(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD step =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, kStepBytes));
        DWORD read = 0;
        if (!ReadFile(file.get(), bytes.data() + done, step, &read, /*overlapped=*/nullptr)) {
            ThrowWin32Failure(L"cannot read", path, GetLastError());
        }
        // The file shrank under us: what we have is not the file.
        if (read == 0) {
            ThrowWin32Failure(L"cannot read", path, ERROR_HANDLE_EOF);
        }
        done += read;
    }
    return bytes;
}

void ReplaceFileContents(const std::wstring& path, std::span<const std::byte> bytes) {
    const std::wstring partial = path + L".partial";
    {
        // No sharing: nobody reads the new content before it is complete.
        UniqueFile file(CreateFileW(partial.c_str(), GENERIC_WRITE, /*share=*/0,
                                    /*security=*/nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    /*template=*/nullptr));
        if (!file) {
            ThrowWin32Failure(L"cannot create", partial, GetLastError());
        }
        try {
            WriteAll(file.get(), partial, bytes);
            // On disk before the rename, or a crash could leave the new name
            // pointing at data that never reached the disk.
            if (!FlushFileBuffers(file.get())) {
                ThrowWin32Failure(L"cannot flush", partial, GetLastError());
            }
        } catch (...) {
            file.reset();
            DeleteFileW(partial.c_str());
            throw;
        }
    }
    if (!MoveFileExW(partial.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        DeleteFileW(partial.c_str());
        ThrowWin32Failure(L"cannot replace", path, error);
    }
}

}  // namespace korvanthelm::demo
