// Fuzzer for the package table header check and the record walker, against
// a reference walk in 128-bit arithmetic where nothing can wrap. The input is
// the whole table; every span handed out must lie inside it (ASan checks the
// reads) and the walk must stop exactly where the reference stops.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "format/package_table.h"

namespace {

std::uint64_t Le(const std::uint8_t* p, int size) {
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | p[i];
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> table(reinterpret_cast<const std::byte*>(data), size);
    const auto count = korvanthelm::format::CheckPackageTableHeader(table);
    const bool header_ok = size >= 10 && data[0] == 'K' && data[1] == 'T' && data[2] == 'P' &&
                           data[3] == 'K' && data[4] == 0x31 && data[5] == 0 &&
                           Le(data + 6, 4) >= 1 && Le(data + 6, 4) <= 10000;
    if (count.has_value() != header_ok || (count && *count != Le(data + 6, 4))) {
        std::abort();
    }

    korvanthelm::format::PackageRecordWalker walker(table);
    unsigned __int128 p = 10;
    // Bounded like the bootstrapper's loop: at most entry_count records.
    for (int i = 0; i < 10000; ++i) {
        bool fits = p + 2 <= size;
        std::uint64_t path_length = 0;
        std::uint64_t data_size = 0;
        if (fits) {
            path_length = Le(data + static_cast<std::size_t>(p), 2);
            fits = p + 2 + path_length + 8 <= size;
        }
        if (fits) {
            data_size = Le(data + static_cast<std::size_t>(p + 2 + path_length), 8);
            fits = p + 10 + path_length + data_size <= size;
        }
        korvanthelm::format::PackageRecord record;
        if (walker.Next(record) != fits) {
            std::abort();
        }
        if (!fits) {
            if (walker.offset() != (p <= size ? static_cast<std::uint64_t>(p) : 10)) {
                std::abort();
            }
            break;
        }
        if (record.path.data() != table.data() + static_cast<std::size_t>(p + 2) ||
            record.path.size() != path_length || record.data.size() != data_size) {
            std::abort();
        }
        // Touch the last byte of each span so ASan sees any overrun.
        volatile std::byte sink{};
        if (!record.data.empty()) {
            sink = record.data.back();
        }
        (void)sink;
        p += 10 + path_length + data_size;
        if (walker.offset() != p || walker.AtEnd() != (p == size)) {
            std::abort();
        }
    }
    return 0;
}
