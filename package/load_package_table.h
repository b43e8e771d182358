// The package resource (RCDATA 101 of the running exe) turned into the
// package table in memory: envelope check, digest against PackageDigest,
// declared size limit, decompression (the system's decompressor, else our
// built-in decoder), table header check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "package/compression_api.h"
#include "platform/failure_texts.h"

namespace korvanthelm {

struct PackageTable {
    std::vector<std::byte> bytes;  // exactly unpacked_size bytes
    std::uint32_t entry_count = 0;
};

// The package resource as the image holds it; read in place, never released.
struct PackageResource {
    bool found = false;
    const std::byte* data = nullptr;  // null when the bytes could not be had
    std::uint32_t size = 0;
};

PackageResource FindPackageResource() noexcept;

using DigestFunction = std::function<std::wstring(const std::byte* data, std::uint64_t size)>;
using CompressionApiLoader = std::function<CompressionApi()>;

// Every check of the package in its fixed order, on any resource bytes with
// any expected digest. Throws the failure message of the first check that
// fails; an allocation failure for the table passes on as std::bad_alloc.
// The system's decompressor (from `load_cabinet`) is tried first and closed
// before its result is looked at; when it is missing, fails, produces
// another count than the declared size, or fills the table with bytes whose
// header check fails, the built-in decoder decodes the same stream into the
// same buffer. Only when both fail to decode is the stream refused as not
// decompressible; a table whose header fails after a decoder filled it is
// refused as corrupt.
PackageTable DecodePackageResource(const PackageResource& resource, const wchar_t* expected_digest,
                                   const DigestFunction& digest,
                                   const CompressionApiLoader& load_cabinet);

// DecodePackageResource on this exe's own resource with the built-in
// PackageDigest, the system's SHA-256 and System32's cabinet.dll.
PackageTable LoadPackageTable();

}  // namespace korvanthelm
