#include "tools/pack/platform/open_file_below.h"

#include "tools/pack/platform/open_folder.h"

namespace korvanthelm::pack {

UniqueFd OpenFileBelow(const UniqueFd& root, const std::string& relative, int& error) {
    UniqueFd folder;
    const UniqueFd* at = &root;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = relative.find('/', start);
        const std::string name = relative.substr(start, slash - start);
        if (slash == std::string::npos) {
            return OpenFileInside(*at, name, error);
        }
        UniqueFd next = OpenFolderInside(*at, name, error);
        if (!next) {
            return next;
        }
        folder = std::move(next);
        at = &folder;
        start = slash + 1;
    }
}

}  // namespace korvanthelm::pack
