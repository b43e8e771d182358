#include "tools/pack/commands/longest_entry_path.h"

namespace korvanthelm::pack {

std::string LongestEntryPath(const std::vector<PackageEntrySummary>& entries) {
    std::size_t longest_units = 0;
    std::string longest;
    for (const PackageEntrySummary& entry : entries) {
        // UTF-16 units of well-formed UTF-8: one per lead byte below F0, two
        // for the four-byte sequences; continuation bytes count nothing.
        std::size_t units = 0;
        for (const char c : entry.path) {
            const auto byte = static_cast<unsigned char>(c);
            units += (byte & 0xC0) == 0x80 ? 0 : (byte >= 0xF0 ? 2 : 1);
        }
        if (units > longest_units) {
            longest_units = units;
            longest = entry.path;
        }
    }
    return longest;
}

}  // namespace korvanthelm::pack
