#include "tools/pack/pe/find_package_resource.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/package_resource_id.h"
#include "tools/pack/pe/pe_headers.h"

namespace korvanthelm::pack {
namespace {

constexpr std::uint32_t kHighBit = 0x80000000;

// Little-endian reads that refuse to leave the buffer.
class Reader {
  public:
    explicit Reader(std::span<const std::byte> bytes) : bytes_(bytes) {}

    bool Has(std::uint64_t offset, std::uint64_t size) const {
        return FileHas(bytes_, offset, size);
    }
    std::uint32_t Read(std::uint64_t offset, std::size_t size, const char* what) const {
        return ReadLe(bytes_, offset, size, what);
    }
    std::span<const std::byte> bytes() const { return bytes_; }

  private:
    std::span<const std::byte> bytes_;
};

class PeImage {
  public:
    explicit PeImage(std::span<const std::byte> image) : file_(image) {
        const PeHeaders headers = ReadPeHeaders(file_.bytes());
        const std::optional<DataDirectory> resources = ReadDataDirectory(
            file_.bytes(), headers, kResourceDirectoryIndex, "resource directory entry");
        if (!resources) {
            throw PackError("executable has no resource directory");
        }
        resource_rva_ = resources->address;
        if (resource_rva_ == 0) {
            throw PackError("executable has no resources");
        }
        sections_ = ReadSectionTable(file_.bytes(), headers);
    }

    // The file bytes behind [rva, rva + size), which must lie in one section's
    // stored data.
    std::span<const std::byte> Map(std::uint64_t rva, std::uint64_t size, const char* what) const {
        for (const PeSection& s : sections_) {
            if (rva < s.virtual_address) {
                continue;
            }
            const std::uint64_t into = rva - s.virtual_address;
            if (into >= s.raw_size || size > s.raw_size - into) {
                continue;
            }
            if (!file_.Has(s.raw_offset + into, size)) {
                break;
            }
            return file_.bytes().subspan(static_cast<std::size_t>(s.raw_offset + into),
                                         static_cast<std::size_t>(size));
        }
        throw PackError(std::string("malformed executable: ") + what +
                        " is not inside the file's sections");
    }

    // Reads from the resource section at `offset` from its start.
    std::uint32_t ReadResource(std::uint64_t offset, std::size_t size, const char* what) const {
        return Reader(Map(resource_rva_ + offset, size, what)).Read(0, size, what);
    }

    // The OffsetToData of the entry with integer name `id` in the resource
    // directory at `offset`; nullopt when there is none.
    std::optional<std::uint32_t> FindEntry(std::uint64_t offset, std::uint32_t id) const {
        const std::uint32_t named = ReadResource(offset + 12, 2, "resource directory");
        const std::uint32_t ids = ReadResource(offset + 14, 2, "resource directory");
        // Named entries come first; integer names follow them.
        for (std::uint32_t i = named; i < named + ids; ++i) {
            const std::uint64_t entry = offset + 16 + 8ull * i;
            const std::uint32_t name = ReadResource(entry, 4, "resource directory entry");
            if ((name & kHighBit) == 0 && name == id) {
                return ReadResource(entry + 4, 4, "resource directory entry");
            }
        }
        return std::nullopt;
    }

    // Every entry of the resource directory at `offset`, integer names only.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Entries(std::uint64_t offset) const {
        const std::uint32_t named = ReadResource(offset + 12, 2, "resource directory");
        const std::uint32_t ids = ReadResource(offset + 14, 2, "resource directory");
        if (named != 0) {
            throw PackError("executable has resources with string names, which are not supported");
        }
        std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
        for (std::uint32_t i = 0; i < ids; ++i) {
            const std::uint64_t entry = offset + 16 + 8ull * i;
            entries.emplace_back(ReadResource(entry, 4, "resource directory entry"),
                                 ReadResource(entry + 4, 4, "resource directory entry"));
        }
        return entries;
    }

    std::uint32_t EntryCount(std::uint64_t offset) const {
        return ReadResource(offset + 12, 2, "resource directory") +
               ReadResource(offset + 14, 2, "resource directory");
    }

  private:
    Reader file_;
    std::uint32_t resource_rva_ = 0;
    std::vector<PeSection> sections_;
};

}  // namespace

std::vector<ResourceLeaf> ReadResources(std::span<const std::byte> image) {
    const PeImage pe(image);
    std::vector<ResourceLeaf> leaves;
    const auto subdirectory = [](std::uint32_t entry) {
        if ((entry & kHighBit) == 0) {
            throw PackError("malformed executable: resource tree shallower than three levels");
        }
        return entry & ~kHighBit;
    };
    for (const auto& [type, names] : pe.Entries(0)) {
        for (const auto& [name, languages] : pe.Entries(subdirectory(names))) {
            for (const auto& [language, data_entry] : pe.Entries(subdirectory(languages))) {
                if ((data_entry & kHighBit) != 0) {
                    throw PackError("malformed executable: resource tree deeper than three levels");
                }
                const std::uint32_t data_rva =
                    pe.ReadResource(data_entry, 4, "resource data entry");
                const std::uint32_t data_size =
                    pe.ReadResource(data_entry + 4, 4, "resource data entry");
                leaves.push_back({type, name, language,
                                  pe.ReadResource(data_entry + 8, 4, "resource data entry"),
                                  pe.Map(data_rva, data_size, "resource data")});
            }
        }
    }
    return leaves;
}

std::span<const std::byte> FindPackageResource(std::span<const std::byte> image) {
    const PeImage pe(image);
    const std::optional<std::uint32_t> type = pe.FindEntry(0, kRtRcdata);
    if (!type || (*type & kHighBit) == 0) {
        throw PackError("executable has no RT_RCDATA resources");
    }
    const std::uint64_t names = *type & ~kHighBit;
    const std::optional<std::uint32_t> name = pe.FindEntry(names, kPackageResourceId);
    if (!name || (*name & kHighBit) == 0) {
        throw PackError("executable has no package resource (RT_RCDATA 101)");
    }
    const std::uint64_t languages = *name & ~kHighBit;
    const std::uint32_t language_count = pe.EntryCount(languages);
    if (language_count != 1) {
        throw PackError("package resource RT_RCDATA 101 is present in " +
                        std::to_string(language_count) + " languages, expected exactly one");
    }
    const std::uint32_t data_entry = pe.ReadResource(languages + 16 + 4, 4, "resource entry");
    if ((data_entry & kHighBit) != 0) {
        throw PackError("malformed executable: resource tree deeper than three levels");
    }
    const std::uint32_t data_rva = pe.ReadResource(data_entry, 4, "resource data entry");
    const std::uint32_t data_size = pe.ReadResource(data_entry + 4, 4, "resource data entry");
    return pe.Map(data_rva, data_size, "package resource");
}

}  // namespace korvanthelm::pack
