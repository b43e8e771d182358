// hashing.h on Windows.
#include "tools/pack/platform/hashing.h"

#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>

#include <algorithm>
#include <array>

#include "platform/system_library.h"
#include "platform/unique_resource.h"
#include "tools/pack/base/hex_text.h"
#include "tools/pack/base/pack_error.h"

// SHA-256 through the system's cryptography provider. bcrypt.dll is not a
// KnownDLL: named in the import table it would be looked for first beside
// the packer (a Downloads folder, a CI workspace), so it is loaded from
// System32 and its functions are taken by name, as the bootstrapper does.

namespace korvanthelm::pack {
namespace {

using OpenAlgorithmProviderFn = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
using CreateHashFn = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG,
                                       PUCHAR, ULONG, ULONG);
using HashDataFn = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
using FinishHashFn = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
using DestroyHashFn = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE);
using CloseAlgorithmProviderFn = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, ULONG);

struct AlgorithmTraits {
    using Value = BCRYPT_ALG_HANDLE;
    static Value Empty() noexcept { return nullptr; }
    void Close(Value value) const noexcept { close(value, /*flags=*/0); }
    CloseAlgorithmProviderFn close = nullptr;
};
struct HashTraits {
    using Value = BCRYPT_HASH_HANDLE;
    static Value Empty() noexcept { return nullptr; }
    void Close(Value value) const noexcept { destroy(value); }
    DestroyHashFn destroy = nullptr;
};

// BCryptHashData counts in ULONGs: larger inputs are hashed in pieces.
constexpr std::size_t kLargestPiece = std::size_t{1} << 30;

}  // namespace

// One hash computation; members in the order they are released last to
// first: the hash, the provider, then the DLL.
class Sha256Hasher::Backend {
  public:
    Backend() : bcrypt_(LoadSystemLibrary(L"bcrypt.dll")) {
        const auto open =
            GetLibraryFunction<OpenAlgorithmProviderFn>(bcrypt_, "BCryptOpenAlgorithmProvider");
        const auto create = GetLibraryFunction<CreateHashFn>(bcrypt_, "BCryptCreateHash");
        hash_data_ = GetLibraryFunction<HashDataFn>(bcrypt_, "BCryptHashData");
        finish_ = GetLibraryFunction<FinishHashFn>(bcrypt_, "BCryptFinishHash");
        const auto destroy = GetLibraryFunction<DestroyHashFn>(bcrypt_, "BCryptDestroyHash");
        const auto close =
            GetLibraryFunction<CloseAlgorithmProviderFn>(bcrypt_, "BCryptCloseAlgorithmProvider");
        if (!open || !create || !hash_data_ || !finish_ || !destroy || !close) {
            throw PackError("cannot start a SHA-256 computation (bcrypt.dll from System32)");
        }
        algorithm_ = UniqueResource<AlgorithmTraits>(nullptr, AlgorithmTraits{close});
        hash_ = UniqueResource<HashTraits>(nullptr, HashTraits{destroy});
        // No object buffer: the provider allocates its own (Windows 7 and later).
        if (open(algorithm_.put(), BCRYPT_SHA256_ALGORITHM, /*implementation=*/nullptr,
                 /*flags=*/0) < 0 ||
            create(algorithm_.get(), hash_.put(), /*object=*/nullptr, /*object_length=*/0,
                   /*secret=*/nullptr, /*secret_length=*/0, /*flags=*/0) < 0) {
            throw PackError("cannot start a SHA-256 computation (bcrypt)");
        }
    }
    void Update(std::span<const std::byte> bytes) {
        while (!bytes.empty()) {
            const std::size_t piece = std::min(bytes.size(), kLargestPiece);
            if (hash_data_(hash_.get(),
                           reinterpret_cast<PUCHAR>(const_cast<std::byte*>(bytes.data())),
                           static_cast<ULONG>(piece), /*flags=*/0) < 0) {
                throw PackError("SHA-256 computation failed (bcrypt)");
            }
            bytes = bytes.subspan(piece);
        }
    }
    std::string FinishText() {
        std::array<unsigned char, 32> digest{};
        if (finish_(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), /*flags=*/0) <
            0) {
            throw PackError("SHA-256 computation failed (bcrypt)");
        }
        return HexText(std::span<const unsigned char>(digest));
    }

  private:
    UniqueModule bcrypt_;
    HashDataFn hash_data_ = nullptr;
    FinishHashFn finish_ = nullptr;
    UniqueResource<AlgorithmTraits> algorithm_;
    UniqueResource<HashTraits> hash_;
};

Sha256Hasher::Sha256Hasher() : backend_(std::make_unique<Backend>()) {}

Sha256Hasher::~Sha256Hasher() = default;

void Sha256Hasher::Update(std::span<const std::byte> bytes) {
    backend_->Update(bytes);
}

std::string Sha256Hasher::FinishText() {
    return backend_->FinishText();
}

}  // namespace korvanthelm::pack
