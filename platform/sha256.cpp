#include "platform/sha256.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "format/setup_contract.h"
#include "platform/bcrypt_library.h"
#include "platform/failure_message.h"
#include "platform/unique_resource.h"

namespace korvanthelm {
namespace {

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

// The largest file FileMatchesDigest reads: the installed launcher's exe and
// jar are far smaller, and the whole file is held in memory.
constexpr std::uint64_t kMaxHashedFileSize = format::kLauncherFileLimit;

}  // namespace

std::wstring ComputeSha256Text(const std::byte* data, std::uint64_t size) {
    // Declared first so it is released last: the provider's handles are
    // closed while the DLL is still loaded.
    const BcryptLibrary bcrypt = LoadBcryptLibrary();
    const auto open = bcrypt.open_algorithm_provider;
    const auto get_property = bcrypt.get_property;
    const auto create_hash = bcrypt.create_hash;
    const auto hash_data = bcrypt.hash_data;
    const auto finish_hash = bcrypt.finish_hash;
    const auto destroy_hash = bcrypt.destroy_hash;
    const auto close_provider = bcrypt.close_algorithm_provider;
    if (!open || !get_property || !create_hash || !hash_data || !finish_hash || !destroy_hash ||
        !close_provider) {
        ThrowFailure(kSha256Unavailable);
    }

    // Destruction order on every path: hash, provider, then the object buffer.
    std::vector<UCHAR> hash_object;
    UniqueAlgorithm algorithm(nullptr, BcryptAlgorithmTraits{close_provider});
    if (!Succeeded(open(algorithm.put(), BCRYPT_SHA256_ALGORITHM, /*implementation=*/nullptr,
                        /*flags=*/0))) {
        ThrowFailure(kSha256Unavailable);
    }
    DWORD object_length = 0;
    ULONG property_bytes = 0;
    if (!Succeeded(get_property(algorithm.get(), BCRYPT_OBJECT_LENGTH,
                                reinterpret_cast<PUCHAR>(&object_length), sizeof(object_length),
                                &property_bytes, /*flags=*/0))) {
        ThrowFailure(kSha256Unavailable);
    }
    hash_object.resize(object_length);

    UCHAR digest[32] = {};
    bool hashed = false;
    {
        UniqueHash hash(nullptr, BcryptHashTraits{destroy_hash});
        if (Succeeded(create_hash(algorithm.get(), hash.put(),
                                  hash_object.empty() ? nullptr : hash_object.data(),
                                  static_cast<ULONG>(hash_object.size()), /*secret=*/nullptr,
                                  /*secret_length=*/0, /*flags=*/0))) {
            // One call over the whole input: a longer input than a ULONG can
            // describe is refused rather than split.
            hashed = size <= 0xFFFFFFFFu &&
                     Succeeded(hash_data(hash.get(),
                                         reinterpret_cast<PUCHAR>(const_cast<std::byte*>(data)),
                                         static_cast<ULONG>(size), /*flags=*/0)) &&
                     Succeeded(finish_hash(hash.get(), digest, sizeof(digest), /*flags=*/0));
        }
    }
    algorithm.reset();
    if (!hashed) {
        ThrowFailure(kSha256Failed);
    }

    static constexpr wchar_t kHexDigits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(64);
    for (const UCHAR byte : digest) {
        text.push_back(kHexDigits[byte >> 4]);
        text.push_back(kHexDigits[byte & 0x0F]);
    }
    return text;
}

bool DigestTextMatches(const std::wstring& computed, const wchar_t* expected) noexcept {
    const std::size_t expected_length = std::wcslen(expected);
    return computed.size() == expected_length &&
           std::wmemcmp(computed.data(), expected, expected_length) == 0;
}

bool FileMatchesDigest(const std::wstring& path, const wchar_t* expected) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return false;
    }
    std::vector<std::byte> contents;
    {
        // FILE_FLAG_OPEN_REPARSE_POINT: a link that appeared since the
        // attribute check is opened itself, never followed.
        const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                          /*security=*/nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OPEN_REPARSE_POINT, /*template=*/nullptr));
        if (!file) {
            return false;
        }
        LARGE_INTEGER size = {};
        if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
            static_cast<std::uint64_t>(size.QuadPart) > kMaxHashedFileSize) {
            return false;
        }
        contents.resize(static_cast<std::size_t>(size.QuadPart));
        if (!contents.empty()) {
            DWORD read = 0;
            if (!ReadFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &read,
                          /*overlapped=*/nullptr) ||
                read != contents.size()) {
                return false;
            }
        }
    }
    return DigestTextMatches(ComputeSha256Text(contents.data(), contents.size()), expected);
}

}  // namespace korvanthelm
