// SHA-256 digests through the Windows cryptography provider (bcrypt.dll,
// loaded from System32), in the digest text form: 64 characters from
// "0123456789abcdef", high four bits of each byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/failure_texts.h"

namespace korvanthelm {

// Digest text of `size` bytes at `data`, hashed in one call in place.
// Throws kSha256Unavailable when bcrypt.dll, one of its functions, the SHA-256
// provider or its object length cannot be had; kSha256Failed when the hash
// cannot be created or computed, or `size` exceeds 0xFFFFFFFF. Every handle and
// buffer is released before the message leaves.
std::wstring ComputeSha256Text(const std::byte* data, std::uint64_t size);

// Same length and same code units; no case folding, no trimming.
bool DigestTextMatches(const std::wstring& computed, const wchar_t* expected) noexcept;

// true only when `path` is a plain file (not a directory, not a reparse point)
// of at most 256 MiB that could be opened with read sharing only, was read
// whole, and whose digest text matches `expected`. Every other outcome is
// false without a message; only a failing SHA-256 service throws (see above).
bool FileMatchesDigest(const std::wstring& path, const wchar_t* expected);

}  // namespace korvanthelm
