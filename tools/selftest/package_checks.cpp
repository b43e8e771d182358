#include "tools/selftest/package_checks.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <span>
#include <vector>

#include "codec/container/decode_container.h"
#include "format/package_envelope.h"
#include "format/package_table.h"
#include "format/utf8_to_utf16.h"
#include "format/walk_package_entries.h"
#include "package/compression_api.h"
#include "package/extract_package.h"
#include "platform/sha256.h"
#include "platform/unique_resource.h"

namespace korvanthelm::selftest {
namespace {

constexpr const char kResourceLine[] = "package resource and PackageDigest";
constexpr const char kBuiltInLine[] = "built-in decoder on the package";
constexpr const char kSystemLine[] = "system decompressor on the package";

double Now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f s", seconds);
    return text;
}

std::optional<std::vector<std::byte>> ReadWholeFile(const std::wstring& path) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > 0x7FFFFFFF) {
        return std::nullopt;
    }
    std::vector<std::byte> bytes(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
        read != bytes.size()) {
        return std::nullopt;
    }
    return bytes;
}

// The digest source is compiled in as a wide string literal: the exe holds
// PackageDigest as UTF-16LE text.
bool ContainsUtf16Text(std::span<const std::byte> image, const std::wstring& text) {
    std::vector<std::byte> needle;
    for (const wchar_t unit : text) {
        needle.push_back(static_cast<std::byte>(unit & 0xFF));
        needle.push_back(static_cast<std::byte>(unit >> 8));
    }
    return std::search(image.begin(), image.end(), needle.begin(), needle.end()) != image.end();
}

// What went wrong with the system's decompressor on the package; "" when
// it filled the table.
std::string SystemFailure(const SystemDecompression& result, std::size_t size) {
    using Failure = SystemDecompression::Failure;
    switch (result.failure) {
        case Failure::kNoApi:
            return "the Compression API is incomplete";
        case Failure::kCreate:
            return "CreateDecompressor failed, " + ErrorText(result.error);
        case Failure::kDecompress:
            return "Decompress failed, " + ErrorText(result.error);
        case Failure::kNone:
            break;
    }
    if (result.produced != size) {
        return "Decompress produced " + std::to_string(result.produced) +
               " bytes, unpacked_size is " + std::to_string(size);
    }
    return "";
}

}  // namespace

CheckLines CheckPackage(const std::wstring& exe_path) {
    const auto not_checked = [](const char* why) {
        return CheckLines{{kBuiltInLine, Outcome::kNotCheckable, why},
                          {kSystemLine, Outcome::kNotCheckable, why}};
    };
    CheckLines lines;
    const auto fail = [&](const std::string& why) {
        lines.push_back({kResourceLine, Outcome::kFailed, why});
        const CheckLines rest = not_checked("no package to decode");
        lines.insert(lines.end(), rest.begin(), rest.end());
        return lines;
    };

    const std::optional<std::vector<std::byte>> image = ReadWholeFile(exe_path);
    if (!image) {
        return fail("cannot read " + Utf8(exe_path) + " (" + ErrorText(GetLastError()) + ")");
    }
    const UniqueModule module(LoadLibraryExW(
        exe_path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module) {
        return fail("cannot load it as resources (" + ErrorText(GetLastError()) + ")");
    }
    HRSRC found = FindResourceW(module.get(), MAKEINTRESOURCEW(101), RT_RCDATA);
    const DWORD size = found ? SizeofResource(module.get(), found) : 0;
    const auto* data =
        found ? static_cast<const std::byte*>(LockResource(LoadResource(module.get(), found)))
              : nullptr;
    const std::optional<format::PackageEnvelope> envelope =
        data ? format::ParsePackageEnvelope(std::span(data, size)) : std::nullopt;
    if (!envelope || !envelope->DeclaresAllowedSize()) {
        return fail("no package envelope in RCDATA 101 (or unpacked_size above 2 GiB)");
    }
    std::wstring digest;
    try {
        digest = ComputeSha256Text(data, size);
    } catch (const std::wstring& message) {
        return fail("SHA-256 through bcrypt failed: " + Utf8(message));
    }
    if (!ContainsUtf16Text(*image, digest)) {
        return fail("its digest " + Utf8(digest) + " is not the exe's PackageDigest");
    }
    const std::uint64_t unpacked_size = envelope->unpacked_size;
    lines.push_back({kResourceLine, Outcome::kPassed,
                     std::to_string(size) + " bytes, digest " + Utf8(digest).substr(0, 16) +
                         "..., unpacked_size " + std::to_string(unpacked_size)});

    const std::span<const std::byte> stream = envelope->stream;
    std::vector<std::byte> ours(static_cast<std::size_t>(unpacked_size));
    double start = Now();
    const bool decoded = codec::DecodeContainer(stream, ours);
    const double built_in_seconds = Now() - start;
    const std::optional<std::uint32_t> entries = format::CheckPackageTableHeader(ours);
    // The bootstrapper's own entry walk, without writing anything.
    const std::optional<format::EntryRefusal> refusal =
        decoded && entries
            ? format::WalkPackageEntries<char16_t>(ours, *entries, format::StrictUtf8Decoder{},
                                                   [](const format::PackageEntry<char16_t>&) {})
            : std::nullopt;
    if (!decoded || !entries || refusal) {
        lines.push_back({kBuiltInLine, Outcome::kFailed,
                         !decoded   ? "the stream does not decode to unpacked_size bytes"
                         : !entries ? "the table header is not sound"
                                    : "entry " + std::to_string(refusal->entry + 1) +
                                          " is refused by the entry walk: " +
                                          Utf8(EntryFailureText(refusal->failure))});
        lines.push_back({kSystemLine, Outcome::kNotCheckable, "nothing to compare it with"});
        return lines;
    }
    lines.push_back({kBuiltInLine, Outcome::kPassed,
                     std::to_string(ours.size()) + " bytes, " + std::to_string(*entries) +
                         " entries, " + Seconds(built_in_seconds)});

    const CompressionApi api = LoadCompressionApi();
    if (!api.complete()) {
        lines.push_back({kSystemLine, Outcome::kNotCheckable,
                         "System32's cabinet.dll has no Compression API (Wine, Windows before "
                         "8); the bootstrapper uses its built-in decoder here"});
        return lines;
    }
    std::vector<std::byte> theirs(ours.size());
    start = Now();
    const std::string failure =
        SystemFailure(DecompressWithSystem(api, stream, theirs), theirs.size());
    const double system_seconds = Now() - start;
    if (!failure.empty()) {
        lines.push_back({kSystemLine, Outcome::kFailed, failure});
    } else if (theirs != ours) {
        const auto differ = std::mismatch(theirs.begin(), theirs.end(), ours.begin());
        lines.push_back({kSystemLine, Outcome::kFailed,
                         "its bytes differ from the built-in decoder's from offset " +
                             std::to_string(differ.first - theirs.begin())});
    } else {
        lines.push_back({kSystemLine, Outcome::kPassed,
                         "the same " + std::to_string(theirs.size()) + " bytes; system " +
                             Seconds(system_seconds) + ", built-in " + Seconds(built_in_seconds)});
    }
    return lines;
}

}  // namespace korvanthelm::selftest
