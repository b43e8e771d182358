// Every hostile package (see make_packages.py) against the real exe: the exact
// message, exit code 1, the set-up program never started, the work directory
// removed and nothing outside it created or changed.
#include <gtest/gtest.h>
#include <windows.h>

#include "tests/e2e/e2e_support.h"

namespace korvanthelm::testing {
namespace {

constexpr char kCorrupt[] = "Повреждён установщик лаунчера.";
constexpr char kDigestMismatch[] = "Не совпала контрольная сумма пакета лаунчера.";
constexpr char kDecompressFailed[] = "Не удалось распаковать лаунчер.";
constexpr char kBadPath[] = "Повреждён путь в пакете лаунчера.";
constexpr char kUnsafePath[] = "Небезопасный путь в пакете лаунчера.";
constexpr char kDuplicate[] = "Повторяющийся путь в пакете лаунчера.";
constexpr char kUnsafeFolder[] = "Небезопасная временная папка установщика.";
constexpr char kWriteFailed[] = "Не удалось записать файлы лаунчера во временную папку.";
constexpr char kTrailing[] = "Лишние данные в пакете лаунчера.";

struct HostileCase {
    const wchar_t* package;
    const char* message;
};

const HostileCase kHostileCases[] = {
    // Records cut short, and bytes after the last counted one.
    {L"bounds_path_length_cut", kCorrupt},
    {L"bounds_path_past_end", kCorrupt},
    {L"bounds_data_size_short", kCorrupt},
    {L"bounds_data_one_past", kCorrupt},
    {L"bounds_fewer_records", kCorrupt},
    {L"trailing_extra_record", kTrailing},
    {L"trailing_one_byte", kTrailing},
    // Table header.
    {L"header_version_32", kCorrupt},
    {L"header_version_swapped", kCorrupt},
    {L"header_bad_magic", kCorrupt},
    {L"header_count_zero", kCorrupt},
    {L"header_count_10001", kCorrupt},
    {L"header_count_max", kCorrupt},
    {L"header_table_9_bytes", kCorrupt},
    // Envelope, digest and stream.
    {L"envelope_size_above_limit", kCorrupt},
    {L"envelope_size_more_than_stream", kDecompressFailed},
    {L"envelope_size_less_than_stream", kDecompressFailed},
    {L"envelope_bad_magic", kCorrupt},
    {L"envelope_15_bytes", kCorrupt},
    {L"envelope_stream_garbage", kDecompressFailed},
    {L"envelope_stream_check_byte", kDecompressFailed},
    {L"digest_mismatch", kDigestMismatch},
    {L"digest_mismatch_in_size", kDigestMismatch},
    // Entry paths that are not well-formed UTF-8.
    {L"utf8_empty", kBadPath},
    {L"utf8_lone_ff", kBadPath},
    {L"utf8_truncated", kBadPath},
    {L"utf8_overlong_slash", kBadPath},
    {L"utf8_surrogate", kBadPath},
    {L"utf8_above_max", kBadPath},
    {L"utf8_stray_continuation", kBadPath},
    // Entry paths that would leave the work directory or name no plain file.
    {L"unsafe_parent", kUnsafePath},
    {L"unsafe_nested_parent", kUnsafePath},
    {L"unsafe_drive", kUnsafePath},
    {L"unsafe_stream", kUnsafePath},
    {L"unsafe_device", kUnsafePath},
    {L"unsafe_device_folder", kUnsafePath},
    {L"unsafe_trailing_dot", kUnsafePath},
    {L"unsafe_trailing_space", kUnsafePath},
    {L"unsafe_backslash", kUnsafePath},
    {L"unsafe_absolute", kUnsafePath},
    {L"unsafe_too_long", kUnsafePath},
    {L"unsafe_control", kUnsafePath},
    // Duplicates and clashes between entries.
    {L"duplicate_ascii_case", kDuplicate},
    {L"duplicate_exact", kDuplicate},
    {L"structure_file_then_folder", kUnsafeFolder},
    {L"structure_folder_then_file", kWriteFailed},
};

// Names the case in test listings.
void PrintTo(const HostileCase& c, std::ostream* out) {
    *out << ToUtf8(c.package);
}

class HostilePackageE2e : public E2eWorld, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostilePackageE2e, RefusedWithItsMessageAndLeavesNothingBehind) {
    const auto before = WorldSnapshot();
    const WatchedRun run = RunWatched(E2eExe(GetParam().package), Environment());
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.messages, std::vector<std::string>{GetParam().message});
    EXPECT_TRUE(Reports().empty()) << "the set-up program ran";
    EXPECT_EQ(WorldSnapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(Corpus, HostilePackageE2e, ::testing::ValuesIn(kHostileCases),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             return ToUtf8(info.param.package);
                         });

// Names that differ only in the case of Cyrillic letters are two entries;
// whether the file system takes both depends on how it folds case.
TEST_F(E2eWorld, CyrillicCasePairIsNotADuplicate) {
    const auto before = WorldSnapshot();
    const WatchedRun run = RunWatched(E2eExe(L"ok_cyrillic_case_pair"), Environment());
    if (run.exit_code == 0) {
        EXPECT_TRUE(run.messages.empty());
        EXPECT_EQ(Reports().size(), 1u);
        std::printf("file system keeps Cyrillic case apart: both files written\n");
    } else {
        EXPECT_EQ(run.exit_code, 1u);
        EXPECT_EQ(run.messages, std::vector<std::string>{kWriteFailed});
        std::printf("file system folds Cyrillic case: the second file is refused\n");
    }
    EXPECT_EQ(WorldSnapshot(), before);
}

}  // namespace
}  // namespace korvanthelm::testing
