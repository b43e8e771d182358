// The package table header check, the record walker's bounds at every edge,
// the table builder and the envelope, on hand-made bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "format/package_envelope.h"
#include "format/package_table.h"

namespace korvanthelm::format {
namespace {

using Bytes = std::vector<std::byte>;

void Append(Bytes& out, std::string_view text) {
    for (char c : text) {
        out.push_back(static_cast<std::byte>(c));
    }
}

void AppendLe(Bytes& out, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) {
        out.push_back(static_cast<std::byte>(value >> (8 * i)));
    }
}

Bytes Header(std::uint32_t entry_count) {
    Bytes table;
    Append(table, "KTPK");
    AppendLe(table, 49, 2);
    AppendLe(table, entry_count, 4);
    return table;
}

// A record whose length fields say what the caller wants, whatever follows.
void AppendRecord(Bytes& out, std::string_view path, std::uint64_t declared_data_size,
                  std::size_t actual_data_size) {
    AppendLe(out, path.size(), 2);
    Append(out, path);
    AppendLe(out, declared_data_size, 8);
    out.insert(out.end(), actual_data_size, std::byte{0xAB});
}

std::string_view AsText(std::span<const std::byte> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// ---- Header -------------------------------------------------------------

TEST(PackageTableHeader, AcceptsOnlyMagicVersionAndCountInRange) {
    struct Case {
        const char* what;
        Bytes table;
        std::optional<std::uint32_t> count;
    };
    const auto with = [](std::size_t offset, std::uint8_t value) {
        Bytes table = Header(1);
        table[offset] = std::byte{value};
        return table;
    };
    const auto count = [](std::uint32_t n) { return Header(n); };
    const Case cases[] = {
        {"header alone, 10 bytes", Header(1), 1},
        {"9 bytes",
         [] {
             Bytes table = Header(1);
             table.pop_back();
             return table;
         }(),
         std::nullopt},
        {"empty", Bytes{}, std::nullopt},
        {"magic byte 0", with(0, 'k'), std::nullopt},
        {"magic byte 3", with(3, 'X'), std::nullopt},
        {"version 31 00", with(4, 0x31), 1},
        {"version 32 00", with(4, 0x32), std::nullopt},
        {"version 30 00", with(4, 0x30), std::nullopt},
        {"version 31 01", with(5, 0x01), std::nullopt},
        {"count 0", count(0), std::nullopt},
        {"count 1", count(1), 1},
        {"count 10000", count(10000), 10000},
        {"count 10001", count(10001), std::nullopt},
        {"count 0xFFFFFFFF", count(0xFFFFFFFF), std::nullopt},
        {"count 0x80000000", count(0x80000000), std::nullopt},
        {"count 10000 + 2^16 (high bytes matter)", count(10000 + 0x10000), std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CheckPackageTableHeader(c.table), c.count) << c.what;
    }
    Bytes swapped = Header(1);
    swapped[4] = std::byte{0x00};
    swapped[5] = std::byte{0x31};
    EXPECT_EQ(CheckPackageTableHeader(swapped), std::nullopt) << "version 00 31";
    Bytes records_after = Header(2);
    AppendRecord(records_after, "a", 0, 0);
    EXPECT_EQ(CheckPackageTableHeader(records_after), 2u)
        << "records are not the header's business";
}

// ---- Walker ---------------------------------------------------------------

TEST(PackageRecordWalker, ReadsRecordsBackToBackAndEndsExactly) {
    Bytes table = Header(3);
    AppendRecord(table, "a/b.txt", 3, 3);
    AppendRecord(table, "empty", 0, 0);
    AppendRecord(table, "c", 1, 1);
    PackageRecordWalker walker(table);
    EXPECT_EQ(walker.offset(), 10u);
    PackageRecord record;
    ASSERT_TRUE(walker.Next(record));
    EXPECT_EQ(AsText(record.path), "a/b.txt");
    EXPECT_EQ(record.data.size(), 3u);
    EXPECT_EQ(record.data.data(), table.data() + 10 + 2 + 7 + 8);
    EXPECT_EQ(walker.offset(), 10u + 10 + 7 + 3);
    ASSERT_TRUE(walker.Next(record));
    EXPECT_EQ(AsText(record.path), "empty");
    EXPECT_TRUE(record.data.empty());
    EXPECT_FALSE(walker.AtEnd());
    ASSERT_TRUE(walker.Next(record));
    EXPECT_EQ(AsText(record.path), "c");
    EXPECT_TRUE(walker.AtEnd());
    EXPECT_FALSE(walker.Next(record)) << "nothing left for path_length";
    EXPECT_TRUE(walker.AtEnd());
}

// Every proper prefix of a record is cut short, at whatever field it ends;
// a refused record leaves the walker and the output where they were.
TEST(PackageRecordWalker, EveryTruncationIsRefusedWithoutMoving) {
    Bytes full = Header(2);
    AppendRecord(full, "first", 2, 2);
    const std::size_t second = full.size();
    AppendRecord(full, "dir/second", 4, 4);
    for (std::size_t size = second + 1; size < full.size(); ++size) {
        const std::span<const std::byte> table(full.data(), size);
        PackageRecordWalker walker(table);
        PackageRecord record;
        ASSERT_TRUE(walker.Next(record)) << size;
        const PackageRecord before = record;
        EXPECT_FALSE(walker.Next(record)) << "table cut to " << size << " bytes";
        EXPECT_EQ(walker.offset(), second) << size;
        EXPECT_EQ(record.path.data(), before.path.data()) << size;
        EXPECT_EQ(record.data.data(), before.data.data()) << size;
        EXPECT_FALSE(walker.Next(record)) << "a second try fails the same way";
        EXPECT_FALSE(walker.AtEnd()) << size;
    }
}

// Each of the four bounds tests at its edge: the field exactly fits, or is
// one byte past what is left.
TEST(PackageRecordWalker, EachLengthExactlyFitsOrIsOnePast) {
    struct Case {
        const char* what;
        Bytes table;
        bool accepted;
    };
    const auto table_with = [](auto&& add) {
        Bytes table = Header(1);
        add(table);
        return table;
    };
    const Case cases[] = {
        {"1 byte left for path_length", table_with([](Bytes& t) { AppendLe(t, 0, 1); }), false},
        {"2 bytes: path_length fits, nothing for data_size",
         table_with([](Bytes& t) { AppendLe(t, 0, 2); }), false},
        {"path_length 3 with 3 path bytes left, no data_size", table_with([](Bytes& t) {
             AppendLe(t, 3, 2);
             Append(t, "abc");
         }),
         false},
        {"path_length one past the end", table_with([](Bytes& t) {
             AppendLe(t, 12, 2);
             Append(t, "abc");
             AppendLe(t, 0, 8);
         }),
         false},
        {"path_length 0xFFFF in a short table", table_with([](Bytes& t) {
             AppendLe(t, 0xFFFF, 2);
             AppendLe(t, 0, 8);
         }),
         false},
        {"data_size field exactly fits, data_size 0",
         table_with([](Bytes& t) { AppendRecord(t, "abc", 0, 0); }), true},
        {"data_size field one byte short", table_with([](Bytes& t) {
             AppendLe(t, 3, 2);
             Append(t, "abc");
             AppendLe(t, 0, 7);
         }),
         false},
        {"data exactly fits", table_with([](Bytes& t) { AppendRecord(t, "abc", 5, 5); }), true},
        {"data one byte past", table_with([](Bytes& t) { AppendRecord(t, "abc", 6, 5); }), false},
        {"data_size 2^64 - 1", table_with([](Bytes& t) {
             AppendRecord(t, "abc", std::numeric_limits<std::uint64_t>::max(), 5);
         }),
         false},
        // A sum p + 10 + L + D would wrap to 0 here and pass a naive test.
        {"data_size wrapping the record end to zero",
         table_with([](Bytes& t) { AppendRecord(t, "abc", 0 - std::uint64_t{10 + 10 + 3}, 5); }),
         false},
        {"data_size wrapping the record end to just inside", table_with([](Bytes& t) {
             AppendRecord(t, "abc", 0 - std::uint64_t{10 + 10 + 3} + 20, 5);
         }),
         false},
        {"empty path is the walker's to pass, not to judge",
         table_with([](Bytes& t) { AppendRecord(t, "", 1, 1); }), true},
    };
    for (const Case& c : cases) {
        PackageRecordWalker walker(c.table);
        PackageRecord record;
        EXPECT_EQ(walker.Next(record), c.accepted) << c.what;
        EXPECT_EQ(walker.AtEnd(), c.accepted) << c.what;
        EXPECT_EQ(walker.offset(), c.accepted ? c.table.size() : 10u) << c.what;
    }
}

TEST(PackageRecordWalker, BytesAfterTheLastRecordAreNotTheEnd) {
    Bytes table = Header(1);
    AppendRecord(table, "a", 1, 1);
    table.push_back(std::byte{0});
    PackageRecordWalker walker(table);
    PackageRecord record;
    ASSERT_TRUE(walker.Next(record));
    EXPECT_FALSE(walker.AtEnd());
    EXPECT_EQ(table.size() - walker.offset(), 1u);
}

TEST(PackageRecordWalker, TableShorterThanItsHeaderYieldsNothing) {
    const Bytes header = Header(1);
    for (std::size_t size = 0; size < kPackageTableHeaderSize; ++size) {
        PackageRecordWalker walker{std::span(header).first(size)};
        PackageRecord record;
        EXPECT_FALSE(walker.Next(record)) << size;
        EXPECT_FALSE(walker.AtEnd()) << size;
    }
}

// ---- Builder --------------------------------------------------------------

std::span<const std::byte> Path(std::string_view text) {
    return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

TEST(PackageTableBuilder, WritesWhatTheWalkerReads) {
    PackageTableBuilder builder(3, /*expected_size=*/10 + 11 + 14 + 12);
    std::span<std::byte> data = builder.AddRecord(Path("a"), 0);
    EXPECT_TRUE(data.empty());
    data = builder.AddRecord(Path("dir/"), 0);
    data = builder.AddRecord(Path("x"), 2);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0], std::byte{0}) << "data areas start zeroed";
    data[0] = std::byte{'h'};
    data[1] = std::byte{'i'};
    const Bytes table = std::move(builder).Finish();

    Bytes expected = Header(3);
    AppendRecord(expected, "a", 0, 0);
    AppendRecord(expected, "dir/", 0, 0);
    AppendLe(expected, 1, 2);
    Append(expected, "x");
    AppendLe(expected, 2, 8);
    Append(expected, "hi");
    EXPECT_EQ(table, expected);
    EXPECT_EQ(CheckPackageTableHeader(table), 3u);
}

TEST(PackageTableBuilder, RefusesWhatTheFormatCannotHold) {
    EXPECT_THROW(PackageTableBuilder(0), std::length_error);
    EXPECT_THROW(PackageTableBuilder(10001), std::length_error);
    EXPECT_NO_THROW(PackageTableBuilder(10000));

    const std::string longest(0xFFFF, 'a');
    PackageTableBuilder builder(2);
    EXPECT_THROW(builder.AddRecord(Path(longest + "a"), 0), std::length_error);
    // Over 0x80000000 in all: refused before anything is allocated.
    EXPECT_THROW(builder.AddRecord(Path("big"), kMaxPackageTableSize - 10 - 10 - 3 + 1),
                 std::length_error);
    EXPECT_THROW(builder.AddRecord(Path("big"), std::numeric_limits<std::uint64_t>::max()),
                 std::length_error);
    EXPECT_NO_THROW(builder.AddRecord(Path(longest), 0));
    EXPECT_THROW(std::move(builder).Finish(), std::length_error) << "one record missing";
}

TEST(PackageTableBuilder, RefusesMoreRecordsThanAnnounced) {
    PackageTableBuilder builder(1);
    builder.AddRecord(Path("a"), 0);
    EXPECT_THROW(builder.AddRecord(Path("b"), 0), std::length_error);
    const Bytes table = std::move(builder).Finish();
    EXPECT_EQ(table.size(), 10u + 11u) << "the refused record left nothing behind";
}

// ---- Envelope ---------------------------------------------------------------

TEST(PackageEnvelope, RoundTripsAndRefusesBadHeaders) {
    const Bytes stream = {std::byte{0x0A}, std::byte{0x51}, std::byte{0xE5}, std::byte{0xC0}};
    const Bytes package = WritePackageEnvelope(0x7F030405, stream);
    ASSERT_EQ(package.size(), 16u + stream.size());
    EXPECT_EQ(AsText(std::span(package).first(8)), "KTSETUP1");
    EXPECT_EQ(package[8], std::byte{0x05}) << "little-endian";
    const auto parsed = ParsePackageEnvelope(package);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->unpacked_size, 0x7F030405u);
    EXPECT_EQ(parsed->stream.data(), package.data() + 16);
    EXPECT_EQ(parsed->stream.size(), stream.size());

    struct Case {
        const char* what;
        Bytes package;
        bool parsed;
        bool allowed_size;
    };
    const Case cases[] = {
        {"header only, empty stream", WritePackageEnvelope(10, {}), true, true},
        {"15 bytes", Bytes(package.begin(), package.begin() + 15), false, false},
        {"unpacked_size 0x80000000", WritePackageEnvelope(0x80000000, stream), true, true},
        {"unpacked_size 0x80000001", WritePackageEnvelope(0x80000001, stream), true, false},
        {"unpacked_size 2^64 - 1", WritePackageEnvelope(~std::uint64_t{0}, stream), true, false},
    };
    for (const Case& c : cases) {
        const auto envelope = ParsePackageEnvelope(c.package);
        EXPECT_EQ(envelope.has_value(), c.parsed) << c.what;
        EXPECT_EQ(envelope && envelope->DeclaresAllowedSize(), c.allowed_size) << c.what;
    }
    for (std::size_t i = 0; i < 8; ++i) {
        Bytes wrong = package;
        wrong[i] ^= std::byte{0x20};
        EXPECT_FALSE(ParsePackageEnvelope(wrong)) << "magic byte " << i;
    }
}

}  // namespace
}  // namespace korvanthelm::format
