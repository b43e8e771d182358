// Every hostile package of tests/e2e/make_packages.py, with what each judge
// of a package must make of it: the bootstrapper's message (the real exe
// under Wine, tests/e2e) and a phrase of `korvanthelm-pack verify`'s refusal
// (tests/host/pack). One table, so the two cannot drift apart.
#pragma once

#include <ostream>
#include <vector>

#include "platform/failure_texts.h"

namespace korvanthelm::test {

struct HostilePackageCase {
    const char* package;     // make_packages.py's name for it
    const wchar_t* message;  // the bootstrapper's text
    // In verify's refusal of the package file; nullptr where the package is
    // sound and only the exe's digest slot tells (verify checks that on an exe).
    const char* verify_says;
};

// Names the case in test listings.
inline void PrintTo(const HostilePackageCase& c, std::ostream* out) {
    *out << c.package;
}

inline std::vector<HostilePackageCase> HostilePackageCases() {
    return {
        // Records cut short, and bytes after the last counted one.
        {"bounds_path_length_cut", kPackageCorrupt, "cut short"},
        {"bounds_path_past_end", kPackageCorrupt, "cut short"},
        {"bounds_data_size_short", kPackageCorrupt, "cut short"},
        {"bounds_data_one_past", kPackageCorrupt, "cut short"},
        {"bounds_fewer_records", kPackageCorrupt, "cut short"},
        {"trailing_extra_record", kTrailingData, "bytes left after the last counted entry"},
        {"trailing_one_byte", kTrailingData, "bytes left after the last counted entry"},
        // Table header.
        {"header_version_32", kPackageCorrupt, "table header is wrong"},
        {"header_version_swapped", kPackageCorrupt, "table header is wrong"},
        {"header_bad_magic", kPackageCorrupt, "table header is wrong"},
        {"header_count_zero", kPackageCorrupt, "table header is wrong"},
        {"header_count_10001", kPackageCorrupt, "table header is wrong"},
        {"header_count_max", kPackageCorrupt, "table header is wrong"},
        {"header_table_9_bytes", kPackageCorrupt, "table header is wrong"},
        // Envelope, digest and stream.
        {"envelope_size_above_limit", kPackageCorrupt, "over 0x80000000"},
        {"envelope_size_more_than_stream", kPackageDecompressFailed,
         "unpacked bytes but its stream holds"},
        {"envelope_size_less_than_stream", kPackageDecompressFailed,
         "unpacked bytes but its stream holds"},
        {"envelope_bad_magic", kPackageCorrupt, "no \"KTSETUP1\" envelope"},
        {"envelope_15_bytes", kPackageCorrupt, "no \"KTSETUP1\" envelope"},
        {"envelope_stream_garbage", kPackageDecompressFailed,
         "not a well-formed Compression API buffer"},
        {"envelope_stream_check_byte", kPackageDecompressFailed,
         "not a well-formed Compression API buffer"},
        {"digest_mismatch", kPackageDigestMismatch, nullptr},
        {"digest_mismatch_in_size", kPackageDigestMismatch, nullptr},
        // Entry paths that are not well-formed UTF-8.
        {"utf8_empty", kBadEntryPath, "path empty or not valid UTF-8"},
        {"utf8_lone_ff", kBadEntryPath, "path empty or not valid UTF-8"},
        {"utf8_truncated", kBadEntryPath, "path empty or not valid UTF-8"},
        {"utf8_overlong_slash", kBadEntryPath, "path empty or not valid UTF-8"},
        {"utf8_surrogate", kBadEntryPath, "path empty or not valid UTF-8"},
        {"utf8_above_max", kBadEntryPath, "path empty or not valid UTF-8"},
        {"utf8_stray_continuation", kBadEntryPath, "path empty or not valid UTF-8"},
        // Entry paths that would leave the work directory or name no plain file.
        {"unsafe_parent", kUnsafeEntryPath, "unsafe path"},
        {"unsafe_nested_parent", kUnsafeEntryPath, "unsafe path"},
        {"unsafe_drive", kUnsafeEntryPath, "unsafe path"},
        {"unsafe_stream", kUnsafeEntryPath, "unsafe path"},
        {"unsafe_device", kUnsafeEntryPath, "unsafe path"},
        {"unsafe_device_folder", kUnsafeEntryPath, "unsafe path"},
        {"unsafe_trailing_dot", kUnsafeEntryPath, "unsafe path"},
        {"unsafe_trailing_space", kUnsafeEntryPath, "unsafe path"},
        {"unsafe_backslash", kUnsafeEntryPath, "unsafe path"},
        {"unsafe_absolute", kUnsafeEntryPath, "unsafe path"},
        {"unsafe_too_long", kUnsafeEntryPath, "unsafe path"},
        {"unsafe_control", kUnsafeEntryPath, "unsafe path"},
        // Duplicates and clashes between entries.
        {"duplicate_ascii_case", kDuplicateEntryPath, "repeats an earlier one"},
        {"duplicate_exact", kDuplicateEntryPath, "repeats an earlier one"},
        {"structure_file_then_folder", kUnsafeWorkDirectory, "is also the folder of"},
        {"structure_folder_then_file", kWriteFailed, "is also the folder of"},
    };
}

}  // namespace korvanthelm::test
