#include "demo/sha256_hex.h"

#include <windows.h>

#include <algorithm>

#include "demo/demo_failure.h"
#include "platform/bcrypt_library.h"

namespace korvanthelm::demo {
namespace {

constexpr std::size_t kDigestBytes = 32;
constexpr ULONG kStepBytes = 1u << 20;

// The functions the hash needs, in the order they are named when one is
// missing.
void RequireFunctions(const BcryptLibrary& bcrypt) {
    const struct {
        bool present;
        const wchar_t* name;
    } kNeeded[] = {
        {bcrypt.open_algorithm_provider != nullptr, L"BCryptOpenAlgorithmProvider"},
        {bcrypt.close_algorithm_provider != nullptr, L"BCryptCloseAlgorithmProvider"},
        {bcrypt.create_hash != nullptr, L"BCryptCreateHash"},
        {bcrypt.hash_data != nullptr, L"BCryptHashData"},
        {bcrypt.finish_hash != nullptr, L"BCryptFinishHash"},
        {bcrypt.destroy_hash != nullptr, L"BCryptDestroyHash"},
    };
    for (const auto& function : kNeeded) {
        if (!function.present) {
            ThrowWin32Failure(L"bcrypt.dll lacks a function:", function.name, ERROR_PROC_NOT_FOUND);
        }
    }
}

void Check(NTSTATUS status) {
    if (!BCRYPT_SUCCESS(status)) {
        ThrowWin32Failure(L"SHA-256 failed in", L"bcrypt.dll", static_cast<DWORD>(status));
    }
}

}  // namespace

std::string Sha256Hex(std::span<const std::byte> bytes) {
    // Declared first, so it is released last: the handles below are closed
    // through its functions.
    const BcryptLibrary bcrypt = LoadBcryptLibrary();
    if (!bcrypt.module) {
        ThrowWin32Failure(L"cannot load", L"bcrypt.dll", GetLastError());
    }
    RequireFunctions(bcrypt);
    UniqueAlgorithm algorithm(nullptr, BcryptAlgorithmTraits{bcrypt.close_algorithm_provider});
    Check(bcrypt.open_algorithm_provider(algorithm.put(), BCRYPT_SHA256_ALGORITHM,
                                         /*implementation=*/nullptr, /*flags=*/0));
    UniqueHash hash(nullptr, BcryptHashTraits{bcrypt.destroy_hash});
    // No object buffer: bcrypt allocates the hash state itself.
    Check(bcrypt.create_hash(algorithm.get(), hash.put(), /*object=*/nullptr, 0,
                             /*secret=*/nullptr, 0, /*flags=*/0));
    while (!bytes.empty()) {
        const ULONG step = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), kStepBytes));
        // HashData takes a non-const pointer but does not write through it.
        Check(bcrypt.hash_data(hash.get(),
                               reinterpret_cast<PUCHAR>(const_cast<std::byte*>(bytes.data())), step,
                               /*flags=*/0));
        bytes = bytes.subspan(step);
    }
    unsigned char digest[kDigestBytes] = {};
    Check(bcrypt.finish_hash(hash.get(), digest, kDigestBytes, /*flags=*/0));

    constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * kDigestBytes);
    for (const unsigned char byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

}  // namespace korvanthelm::demo
