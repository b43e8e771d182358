// The names a package's entries take on a player's disk, where Windows folds
// letter case for the whole of Unicode (simple case folding) when it looks a
// name up, while the bootstrapper's duplicate key folds ASCII only. Used by
// `pack` on a tree and by `verify` on a package, so both refuse the same.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvanthelm::pack {

class FoldedNameClaims {
  public:
    // Claims the file `path` (UTF-8 as stored; `entry_path` its UTF-16 form)
    // and every folder on its way. nullopt when nothing clashes; otherwise a
    // message naming both paths, for the first earlier claim that is one name
    // with these on Windows: the same file (names differing only in letter
    // case), a file that is a folder of the other, or one folder spelled two
    // ways (which unpacks as one folder holding what the package had in
    // two). Nothing is claimed then.
    std::optional<std::string> Claim(std::string_view path, std::u16string_view entry_path);

  private:
    struct Name {
        bool is_file;
        std::size_t file;    // index in paths_ of the entry that claimed it first
        std::size_t length;  // the name is that entry's path up to here (bytes)
    };
    std::vector<std::string> paths_;
    std::map<std::u16string, Name> names_;
};

}  // namespace korvanthelm::pack
