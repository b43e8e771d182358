// bcrypt.dll from System32 with the functions the programs use taken by name:
// the one loader behind the bootstrapper's SHA-256 and random names, the
// Windows packer's SHA-256 and the demo set-up program's build mark.
// bcrypt.dll is not a KnownDLL (system_library.h).
#pragma once

#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>

#include "platform/unique_resource.h"

namespace korvanthelm {

struct BcryptLibrary {
    using OpenAlgorithmProviderFn = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
    using GetPropertyFn = NTSTATUS(WINAPI*)(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG*, ULONG);
    using CreateHashFn = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG,
                                           PUCHAR, ULONG, ULONG);
    using HashDataFn = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    using FinishHashFn = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    using DestroyHashFn = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE);
    using CloseAlgorithmProviderFn = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, ULONG);
    using GenRandomFn = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG);

    // First, so that it is released last: handles the functions made are
    // closed while the DLL is still loaded.
    UniqueModule module;
    OpenAlgorithmProviderFn open_algorithm_provider = nullptr;
    GetPropertyFn get_property = nullptr;
    CreateHashFn create_hash = nullptr;
    HashDataFn hash_data = nullptr;
    FinishHashFn finish_hash = nullptr;
    DestroyHashFn destroy_hash = nullptr;
    CloseAlgorithmProviderFn close_algorithm_provider = nullptr;
    GenRandomFn gen_random = nullptr;
};

// bcrypt.dll from System32 and each function above by name; a function it
// does not export is nullptr, and all are when the DLL cannot be loaded there
// (each caller decides which it needs); then the thread's last error is still
// LoadLibraryExW's. Never throws.
BcryptLibrary LoadBcryptLibrary() noexcept;

// Owners of the provider's handles, released through the loaded functions.
struct BcryptAlgorithmTraits {
    using Value = BCRYPT_ALG_HANDLE;
    static Value Empty() noexcept { return nullptr; }
    void Close(Value value) const noexcept { close(value, /*flags=*/0); }
    BcryptLibrary::CloseAlgorithmProviderFn close = nullptr;
};
struct BcryptHashTraits {
    using Value = BCRYPT_HASH_HANDLE;
    static Value Empty() noexcept { return nullptr; }
    void Close(Value value) const noexcept { destroy(value); }
    BcryptLibrary::DestroyHashFn destroy = nullptr;
};
using UniqueAlgorithm = UniqueResource<BcryptAlgorithmTraits>;
using UniqueHash = UniqueResource<BcryptHashTraits>;

}  // namespace korvanthelm
