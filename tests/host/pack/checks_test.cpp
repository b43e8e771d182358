// The host's verdict beyond the bootstrapper's walk: damaged and hostile
// packages, unsafe paths and how they are shown.
#include "format/package_path_rules.h"
#include "format/utf8_to_utf16.h"
#include "tests/host/pack/pack_test_common.h"
#include "tools/pack/checks/check_package_file.h"
#include "tools/pack/checks/unsafe_path_reason.h"

namespace korvanthelm::pack {
namespace {

TEST(PackVerify, DamagedPackagesFailWithTheReason) {
    const TempDir dir;
    const std::string tree = dir / "tree";
    AddDefaultLauncherFiles(tree);
    WriteFile(tree + "/data.txt", std::string(50000, 'q') + "end");
    ASSERT_EQ(RunPacker({"pack", tree, "-o", dir / "good.bin"}).exit_code, 0);
    const Bytes good = ReadFile(dir / "good.bin");

    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        const char* message;
    };
    const Case cases[] = {
        {"envelope magic", [](Bytes& p) { p[0] = std::byte{'X'}; }, "KTSETUP1"},
        {"unpacked_size one more", [](Bytes& p) { p[8] = static_cast<std::byte>(int(p[8]) + 1); },
         "unpacked"},
        {"unpacked_size over 2 GiB", [](Bytes& p) { p[12] = std::byte{0x80}; }, "0x80000000"},
        {"container check byte", [](Bytes& p) { p[16 + 6] ^= std::byte{1}; }, "Compression API"},
        {"last byte dropped", [](Bytes& p) { p.pop_back(); }, "Compression API"},
        {"byte appended", [](Bytes& p) { p.push_back(std::byte{0}); }, "Compression API"},
        {"header only", [](Bytes& p) { p.resize(16); }, "Compression API"},
    };
    for (const Case& c : cases) {
        Bytes damaged = good;
        c.damage(damaged);
        WriteFile(dir / "damaged.bin", damaged);
        const auto run = RunPacker({"verify", dir / "damaged.bin"});
        EXPECT_EQ(run.exit_code, 1) << c.what << ": " << run.out;
        EXPECT_EQ(LineCount(run.err), 1u) << c.what << ": " << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.what << ": " << run.err;
        EXPECT_EQ(RunPacker({"list", dir / "damaged.bin"}).exit_code, 1) << c.what;
    }
}

// build checks the executable it assembled with the table pack proved its
// package decodes to, instead of decoding it again; that table is taken only
// for the very bytes it was proven for. A package off by one byte, or of
// another length, is decoded and judged as it is.
TEST(PackVerify, ProvenTableStandsOnlyForItsOwnBytes) {
    const TempDir dir;
    for (const char* name : {"one", "two"}) {
        const std::string tree = dir / name;
        AddDefaultLauncherFiles(tree);
        WriteFile(tree + "/" + name + ".txt", std::string(3000, name[0]));
        ASSERT_EQ(RunPacker({"pack", tree, "-o", dir / (std::string(name) + ".bin")}).exit_code, 0);
    }
    const Bytes one = ReadFile(dir / "one.bin");
    const Bytes two = ReadFile(dir / "two.bin");
    const DecodedPackage one_decoded = DecodeCheckedPackage(one);
    const DecodedPackage two_decoded = DecodeCheckedPackage(two);
    ASSERT_FALSE(one_decoded.table.empty());
    const auto paths = [](const CheckedPackage& checked) {
        std::vector<std::string> result;
        for (const PackageEntrySummary& entry : checked.entries) {
            result.emplace_back(entry.path);
        }
        return result;
    };

    const DecodedPackage proven =
        DecodeCheckedPackage(one, std::nullopt, ProvenPackage{one, one_decoded.table});
    EXPECT_TRUE(proven.table.empty()) << "decoded again";
    EXPECT_EQ(paths(proven.checked), paths(one_decoded.checked));
    EXPECT_EQ(proven.checked.table_size, one_decoded.table.size());

    Bytes off_by_one = one;
    off_by_one.back() ^= std::byte{1};
    Bytes longer = one;
    longer.push_back(std::byte{0});
    for (const Bytes* other :
         {&two, static_cast<const Bytes*>(&off_by_one), static_cast<const Bytes*>(&longer)}) {
        // Another package's table, offered as proven for bytes that are not `one`'s.
        const DecodedPackage judged =
            DecodeCheckedPackage(one, std::nullopt, ProvenPackage{*other, two_decoded.table});
        EXPECT_EQ(judged.table, one_decoded.table);
        EXPECT_EQ(paths(judged.checked), paths(one_decoded.checked));
    }
}

// The refusal of an unsafe path names the rule it breaks, not a list of
// every rule; and it agrees with the rules themselves on every path.
TEST(PackPathRules, RefusalSaysWhatIsWrongWithThePath) {
    struct Case {
        std::string_view path;
        std::string_view reason;  // empty: safe
    };
    const Case cases[] = {
        {"name .txt",
         "\"name .txt\" has a space before its first dot, which Windows drops when it looks for "
         "a device name (\"CON .txt\" is the console)"},
        {"name. txt", ""},   // the space comes after the first dot
        {".gitignore", ""},  // an empty stem before the dot is no device
        {" .txt", "\" .txt\" has a space before its first dot"},
        {"a/con .b/c", "\"con .b\" has a space before its first dot"},
        {"nul.tar.gz", "\"nul.tar.gz\" is a Windows device name (\"nul\", whatever follows"},
        {"console", ""},                                          // starts like CON
        {"COM\u00B9", "\"COM\u00B9\" is a Windows device name"},  // a superscript one
        {"COM0", ""},
        {"dir./x", "\"dir.\" ends in a dot or a space, which Windows drops"},
        {"x/y ", "\"y \" ends in a dot or a space"},
        {"a..b/c", ""},
        {"a/../b", "a \".\" or \"..\" step"},
        {"a//b", "two \"/\" in a row"},
        {"/a", "it starts or ends with \"/\""},
        {"a/", "it starts or ends with \"/\""},
        {"a:b", "\"a:b\" holds a character Windows forbids in a name"},
        {"a\x01", "\"a\\x01\" holds a character"},  // escaped as printed
        {"\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB .txt",
         "\"\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB .txt\" has a space before its first dot"},
    };
    for (const Case& c : cases) {
        std::u16string units;
        ASSERT_TRUE(format::Utf8ToUtf16(c.path, units)) << c.path;
        const std::string reason = UnsafePathReason(c.path);
        EXPECT_EQ(reason.empty(), format::IsSafePackagePath(std::u16string_view(units))) << c.path;
        EXPECT_EQ(reason.substr(0, c.reason.size()), c.reason) << c.path;
        EXPECT_EQ(reason.empty(), c.reason.empty()) << c.path << ": " << reason;
    }
    const std::string long_path = std::string(600, 'a') + "/" + std::string(400, 'b');
    EXPECT_EQ(UnsafePathReason(long_path),
              "1001 UTF-16 units, over the 1000 an entry path may have");

    // Every path of up to five units from the characters the rules look at:
    // the reason is given exactly when the rules refuse the path.
    const std::u16string_view alphabet = u"aCON. /:\u00B9";
    std::size_t refused = 0;
    std::u16string path;
    const std::function<void(std::size_t)> sweep = [&](std::size_t left) {
        if (!path.empty()) {
            std::string utf8;
            for (const char16_t unit : path) {
                if (unit < 0x80) {
                    utf8 += static_cast<char>(unit);
                } else {
                    utf8 += static_cast<char>(0xC0 | (unit >> 6));
                    utf8 += static_cast<char>(0x80 | (unit & 0x3F));
                }
            }
            const bool safe = format::IsSafePackagePath(std::u16string_view(path));
            refused += safe ? 0 : 1;
            EXPECT_EQ(UnsafePathReason(utf8).empty(), safe) << utf8;
        }
        if (left == 0) {
            return;
        }
        for (const char16_t unit : alphabet) {
            path.push_back(unit);
            sweep(left - 1);
            path.pop_back();
        }
    };
    sweep(5);
    EXPECT_GT(refused, 1000u);
}

// The one escaping rule for text from files and programs in human output:
// every control character, C0, DEL and C1 (U+0080..U+009F, which a UTF-8
// terminal may take for ESC [ and the like), each byte as \xNN; printable
// UTF-8 as it is, its neighbours of the control ranges included.
TEST(PrintablePath, EscapesWhatATerminalWouldMisshow) {
    struct Case {
        std::string_view text;
        std::string_view shown;
    };
    constexpr Case kCases[] = {
        {"dir/\xD1\x84.txt", "dir/\xD1\x84.txt"},
        {"a\tb\\c\x7F", "a\\x09b\\x5cc\\x7f"},
        {"bad\xFF\xC3", "bad\\xff\\xc3"},
        {"\x1b[32mOK\r\n\x07\x08", "\\x1b[32mOK\\x0d\\x0a\\x07\\x08"},
        {" ~", " ~"},                // the first and last printable ASCII
        {"\x1f", "\\x1f"},           // the last C0 control
        {"\xC2\x80", "\\xc2\\x80"},  // U+0080, the first C1 control
        {"\xC2\x9B"
         "31m",
         "\\xc2\\x9b"
         "31m"},                           // U+009B, the one-character CSI
        {"\xC2\x9F", "\\xc2\\x9f"},        // U+009F, the last C1 control
        {"\xC2\xA0", "\xC2\xA0"},          // U+00A0 is printable
        {"\xE2\x82\xAC", "\xE2\x82\xAC"},  // a three-byte sequence
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(PrintablePath(c.text), c.shown);
    }
}

// A package of the given entries, its table stored uncompressed: the bytes
// any writer could hand a player, whatever the packer would refuse.
Bytes CraftedPackage(const std::vector<std::pair<std::string, std::string>>& entries) {
    format::PackageTableBuilder builder(static_cast<std::uint32_t>(entries.size()));
    for (const auto& [path, data] : entries) {
        const std::span<std::byte> out = builder.AddRecord(B(path), data.size());
        const Bytes bytes = B(data);
        std::copy(bytes.begin(), bytes.end(), out.begin());
    }
    const Bytes table = std::move(builder).Finish();
    const Bytes stream = format::WriteContainer(
        table, format::kLzmsChunkSize,
        [](std::span<const std::byte>, std::span<std::byte>) { return std::size_t{0}; });
    return format::WritePackageEnvelope(table.size(), stream);
}

// What the walk accepts but a player's machine refuses, or may refuse, and
// the near misses that must pass without a word.
TEST(PackVerify, RefusesWhatThePlayersDiskRefusesAndWarnsOfLongPaths) {
    const std::string setup(kSetupProgramPath);
    const std::string setup_program = test::MinimalPeFile("s");
    // Target paths below the work directory of a typical TEMP: a file path
    // reaches the limit at 260 units, a folder path at 248 (NUL included).
    const std::size_t file_room = kMaxFilePathUnits - kTypicalWorkDirectoryUnits - 1;
    const std::size_t folder_room = kMaxFolderPathUnits - kTypicalWorkDirectoryUnits - 1;
    static_assert(kTypicalWorkDirectoryUnits == 99);
    const std::string folder_fits(folder_room, 'f');
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> entries;
        int exit_code;
        const char* err;  // in standard error; "" for none at all
        // list shows a package whose set-up program could not start: only
        // running it fails, and list is how one looks at what it holds.
        bool listed = false;
    };
    const Case cases[] = {
        {"Cyrillic names one file on Windows",
         {{setup, setup_program}, {"Файл.txt", "1"}, {"файл.txt", "2"}},
         1,
         "entry 3 of 3: entry paths \"Файл.txt\" and \"файл.txt\" differ only in letter case"},
        {"file, then the folder of a later entry",
         {{setup, setup_program}, {"a", "1"}, {"a/b", "2"}},
         1,
         "entry 3 of 3: file \"a\" is also the folder of \"a/b\""},
        {"folder of an earlier entry, then a file",
         {{setup, setup_program}, {"a/b", "1"}, {"a", "2"}},
         1,
         "entry 3 of 3: file \"a\" is also the folder of \"a/b\""},
        {"file folded into a later entry's folder",
         {{setup, setup_program}, {"É", "1"}, {"é/b", "2"}},
         1,
         "file \"É\" and folder \"é\" of \"é/b\" differ only in letter case"},
        {"one folder spelled two ways",
         {{setup, setup_program}, {"Docs/a", "1"}, {"docs/b", "2"}},
         1,
         "one folder on Windows"},
        {"no set-up program", {{"KORVANTHELM/other.exe", "s"}}, 1, "holds no set-up program"},
        // Windows would refuse to start it on every player's machine (193).
        {"set-up program with MZ but no PE headers",
         {{setup, "MZ but no PE headers"}, {"a", "1"}},
         1,
         "the set-up program KORVANTHELM/KORVANTHELM.exe is not a Windows program",
         true},
        {"set-up program that is another program's data",
         {{setup, "s"}, {"KORVANTHELM/other.exe", setup_program}},
         1,
         "is not a Windows program",
         true},
        {"set-up program in other letter case",
         {{"korvanthelm/korvanthelm.EXE", setup_program}},
         0,
         ""},
        {"only full folding makes ß ss",
         {{setup, setup_program}, {"straße.txt", "1"}, {"strasse.txt", "2"}},
         0,
         ""},
        {"a name prefix, not a folder prefix",
         {{setup, setup_program}, {"a", "1"}, {"ab/c", "2"}},
         0,
         ""},
        {"file path one unit below the limit",
         {{setup, setup_program}, {std::string(file_room, 'a'), "1"}},
         0,
         ""},
        {"file path at the limit",
         {{setup, setup_program}, {std::string(file_room + 1, 'a'), "1"}, {"b", "2"}},
         0,
         "warning: 1 of 3 entries would pass Windows' classic path limit"},
        {"folder path one unit below the limit",
         {{setup, setup_program}, {folder_fits + "/x", "1"}},
         0,
         ""},
        {"folder path at the limit",
         {{setup, setup_program}, {folder_fits + "f/x", "1"}},
         0,
         "warning: 1 of 2 entries"},
        {"the warning names the longest path",
         {{setup, setup_program},
          {folder_fits + "f/x", "1"},
          {std::string(file_room + 2, 'z'), "2"}},
         0,
         "the longest is \"zzz"},
    };
    const TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(dir / "crafted.bin", CraftedPackage(c.entries));
        const auto run = RunPacker({"verify", dir / "crafted.bin"});
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        if (*c.err == '\0') {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
            EXPECT_EQ(LineCount(run.err), 1u) << run.err;
        }
        const auto list = RunPacker({"list", dir / "crafted.bin"});
        EXPECT_EQ(list.exit_code, c.listed ? 0 : c.exit_code) << list.err;
    }
}

// The hostile packages the real exe is run on under Wine, judged by verify:
// every one the bootstrapper refuses, verify refuses, for the same reason.
TEST(PackVerify, RefusesEveryHostilePackageOfTheEndToEndTests) {
    const TempDir dir;
    WriteFile(dir / "probe.exe", test::MinimalPeFile("a stand-in set-up program"));
    const std::string command = std::string(KORVANTHELM_PYTHON) + " " + KORVANTHELM_MAKE_PACKAGES +
                                " --out " + (dir / "packages") + " --probe " + (dir / "probe.exe");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    for (const ::korvanthelm::test::HostilePackageCase& c :
         ::korvanthelm::test::HostilePackageCases()) {
        if (c.verify_says == nullptr) {
            continue;
        }
        SCOPED_TRACE(c.package);
        const auto run =
            RunPacker({"verify", dir / ("packages/" + std::string(c.package) + ".package")});
        EXPECT_EQ(run.exit_code, 1) << run.out;
        EXPECT_NE(run.err.find(c.verify_says), std::string::npos) << run.err;
    }
    // Packages the bootstrapper unpacks and then fails on: the set-up program
    // is missing, or the file system meets one name twice.
    for (const auto& [package, says] :
         {std::pair{"ok_no_setup_program", "holds no set-up program"},
          std::pair{"ok_cyrillic_case_pair", "differ only in letter case"}}) {
        const auto run =
            RunPacker({"verify", dir / ("packages/" + std::string(package) + ".package")});
        EXPECT_EQ(run.exit_code, 1) << package;
        EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
    }
    EXPECT_EQ(RunPacker({"verify", dir / "packages/ok_probe.package"}).exit_code, 0);
}

// ---- Hostile input and output files --------------------------------------------

}  // namespace
}  // namespace korvanthelm::pack
