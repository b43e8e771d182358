#include "tools/pack/checks/folded_name_claims.h"

#include "tools/pack/base/printable_path.h"
#include "tools/pack/checks/fold_case.h"

namespace korvanthelm::pack {
namespace {

std::string Quoted(std::string_view path) {
    return "\"" + PrintablePath(path) + "\"";
}

}  // namespace

std::optional<std::string> FoldedNameClaims::Claim(std::string_view path,
                                                   std::u16string_view entry_path) {
    const std::u16string folded = FoldCase(entry_path);
    const std::size_t index = paths_.size();
    const auto spelling = [&](const Name& name) {
        const std::string_view owner = name.file == index ? path : paths_[name.file];
        return owner.substr(0, name.length);
    };
    const auto owner = [&](const Name& name) { return std::string_view(paths_[name.file]); };
    const auto file_and_folder = [&](std::string_view file, std::string_view folder,
                                     std::string_view folder_of) {
        if (file == folder) {
            return "file " + Quoted(file) + " is also the folder of " + Quoted(folder_of) +
                   ", a file and a folder of one name";
        }
        return "file " + Quoted(file) + " and folder " + Quoted(folder) + " of " +
               Quoted(folder_of) + " differ only in letter case, one name on Windows";
    };

    // Checked in full before anything is claimed, so a refusal leaves the
    // claims as they were.
    std::vector<std::pair<std::u16string, Name>> new_names;
    // The folded path and the UTF-8 path have their '/' in the same order:
    // folding keeps '/' and makes nothing else one.
    std::size_t byte_from = 0;
    for (std::size_t unit = folded.find(u'/'); unit != std::u16string::npos;
         unit = folded.find(u'/', unit + 1)) {
        const std::size_t byte_slash = path.find('/', byte_from);
        byte_from = byte_slash + 1;
        const Name folder{false, index, byte_slash};
        std::u16string key = folded.substr(0, unit);
        const auto claim = names_.find(key);
        if (claim == names_.end()) {
            new_names.emplace_back(std::move(key), folder);
            continue;
        }
        if (claim->second.is_file) {
            return file_and_folder(owner(claim->second), spelling(folder), path);
        }
        if (spelling(claim->second) != spelling(folder)) {
            return "folder " + Quoted(spelling(claim->second)) + " of " +
                   Quoted(owner(claim->second)) + " and folder " + Quoted(spelling(folder)) +
                   " of " + Quoted(path) + " differ only in letter case, one folder on Windows";
        }
    }
    if (const auto claim = names_.find(folded); claim != names_.end()) {
        if (claim->second.is_file) {
            return "entry paths " + Quoted(owner(claim->second)) + " and " + Quoted(path) +
                   " differ only in letter case, one file on Windows";
        }
        return file_and_folder(path, spelling(claim->second), owner(claim->second));
    }
    paths_.emplace_back(path);
    for (auto& [key, name] : new_names) {
        names_.emplace(std::move(key), name);
    }
    names_.emplace(folded, Name{true, index, path.size()});
    return std::nullopt;
}

}  // namespace korvanthelm::pack
