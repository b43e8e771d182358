#include "demo/sha256_hex.h"

#include <windows.h>
// After windows.h: bcrypt.h needs its types. Only the declarations are used
// (for the function types); nothing is imported from bcrypt.dll.
#include <bcrypt.h>

#include <algorithm>
#include <cstring>

#include "demo/demo_failure.h"
#include "platform/unique_resource.h"

namespace korvanthelm::demo {
namespace {

constexpr std::size_t kDigestBytes = 32;
constexpr ULONG kStepBytes = 1u << 20;

// bcrypt.dll is not a KnownDLL: an import, or a plain LoadLibraryW, would take
// a "bcrypt.dll" from the folder the set-up program was unpacked into first.
class Bcrypt {
  public:
    Bcrypt()
        : module_(LoadLibraryExW(L"bcrypt.dll", /*file=*/nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        if (!module_) {
            ThrowWin32Failure(L"cannot load", L"bcrypt.dll", GetLastError());
        }
        Resolve(open_, "BCryptOpenAlgorithmProvider");
        Resolve(close_, "BCryptCloseAlgorithmProvider");
        Resolve(create_, "BCryptCreateHash");
        Resolve(hash_data_, "BCryptHashData");
        Resolve(finish_, "BCryptFinishHash");
        Resolve(destroy_, "BCryptDestroyHash");
    }

    decltype(&BCryptOpenAlgorithmProvider) open_ = nullptr;
    decltype(&BCryptCloseAlgorithmProvider) close_ = nullptr;
    decltype(&BCryptCreateHash) create_ = nullptr;
    decltype(&BCryptHashData) hash_data_ = nullptr;
    decltype(&BCryptFinishHash) finish_ = nullptr;
    decltype(&BCryptDestroyHash) destroy_ = nullptr;

  private:
    template <class Function>
    void Resolve(Function& function, const char* name) {
        function = reinterpret_cast<Function>(
            reinterpret_cast<void*>(GetProcAddress(module_.get(), name)));
        if (function == nullptr) {
            ThrowWin32Failure(L"bcrypt.dll lacks a function:",
                              std::wstring(name, name + std::strlen(name)), ERROR_PROC_NOT_FOUND);
        }
    }

    UniqueModule module_;
};

// Owners for the two bcrypt handles; their close functions come from the
// module loaded above, so the owners borrow it.
class AlgorithmOwner {
  public:
    explicit AlgorithmOwner(const Bcrypt& bcrypt) : bcrypt_(bcrypt) {}
    AlgorithmOwner(const AlgorithmOwner&) = delete;
    AlgorithmOwner& operator=(const AlgorithmOwner&) = delete;
    ~AlgorithmOwner() {
        if (handle_ != nullptr) {
            bcrypt_.close_(handle_, 0);
        }
    }
    BCRYPT_ALG_HANDLE handle_ = nullptr;

  private:
    const Bcrypt& bcrypt_;
};

class HashOwner {
  public:
    explicit HashOwner(const Bcrypt& bcrypt) : bcrypt_(bcrypt) {}
    HashOwner(const HashOwner&) = delete;
    HashOwner& operator=(const HashOwner&) = delete;
    ~HashOwner() {
        if (handle_ != nullptr) {
            bcrypt_.destroy_(handle_);
        }
    }
    BCRYPT_HASH_HANDLE handle_ = nullptr;

  private:
    const Bcrypt& bcrypt_;
};

void Check(NTSTATUS status) {
    if (!BCRYPT_SUCCESS(status)) {
        ThrowWin32Failure(L"SHA-256 failed in", L"bcrypt.dll", static_cast<DWORD>(status));
    }
}

}  // namespace

std::string Sha256Hex(std::span<const std::byte> bytes) {
    const Bcrypt bcrypt;
    AlgorithmOwner algorithm(bcrypt);
    Check(bcrypt.open_(&algorithm.handle_, BCRYPT_SHA256_ALGORITHM, /*implementation=*/nullptr,
                       /*flags=*/0));
    HashOwner hash(bcrypt);
    // No object buffer: bcrypt allocates the hash state itself.
    Check(bcrypt.create_(algorithm.handle_, &hash.handle_, /*object=*/nullptr, 0,
                         /*secret=*/nullptr, 0, /*flags=*/0));
    while (!bytes.empty()) {
        const ULONG step = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), kStepBytes));
        // HashData takes a non-const pointer but does not write through it.
        Check(bcrypt.hash_data_(hash.handle_,
                                reinterpret_cast<PUCHAR>(const_cast<std::byte*>(bytes.data())),
                                step, /*flags=*/0));
        bytes = bytes.subspan(step);
    }
    unsigned char digest[kDigestBytes] = {};
    Check(bcrypt.finish_(hash.handle_, digest, kDigestBytes, /*flags=*/0));

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
