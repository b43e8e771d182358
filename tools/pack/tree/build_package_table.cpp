#include "tools/pack/tree/build_package_table.h"

#include <span>

#include "format/package_table.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/folders.h"
#include "tools/pack/platform/system_error_text.h"
#include "tools/pack/platform/unique_fd.h"

namespace korvanthelm::pack {
namespace {

[[noreturn]] void ThrowFileError(const std::string& what, const std::string& path, int error) {
    throw PackError(what + " \"" + PrintableHostPath(path) + "\": " + SystemErrorText(error));
}

}  // namespace

std::vector<std::byte> BuildPackageTable(const std::string& root, const LauncherTree& tree) {
    int error = 0;
    const UniqueFd root_fd = OpenFolder(root, error);
    if (!root_fd) {
        ThrowFileError("cannot open the launcher tree", root, error);
    }
    format::PackageTableBuilder builder(static_cast<std::uint32_t>(tree.files.size()),
                                        tree.table_size);
    // The files in their sorted order: each folder is opened once.
    FilesBelow files(root_fd);
    for (const TreeFile& file : tree.files) {
        const UniqueFd fd = files.Open(file.path, error);
        if (!fd) {
            ThrowFileError("cannot open", file.path, error);
        }
        EntryStatus status{};
        if (!ExamineOpenFile(fd, status, error)) {
            ThrowFileError("cannot examine", file.path, error);
        }
        if (status.kind != EntryKind::kRegularFile || status.size != file.size) {
            throw PackError("file changed while being packed: \"" + PrintablePath(file.path) +
                            "\"");
        }
        const std::span<const std::byte> path_bytes(
            reinterpret_cast<const std::byte*>(file.path.data()), file.path.size());
        switch (ReadExactly(fd, builder.AddRecord(path_bytes, file.size), error)) {
            case ExactRead::kRead:
                break;
            case ExactRead::kFailed:
                ThrowFileError("cannot read", file.path, error);
            case ExactRead::kShorter:
                throw PackError("file shrank while being packed: \"" + PrintablePath(file.path) +
                                "\"");
            case ExactRead::kLonger:
                throw PackError("file grew while being packed: \"" + PrintablePath(file.path) +
                                "\"");
        }
    }
    return std::move(builder).Finish();
}

}  // namespace korvanthelm::pack
