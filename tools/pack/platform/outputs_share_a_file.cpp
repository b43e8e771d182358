#include "tools/pack/platform/outputs_share_a_file.h"

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/path_exists.h"
#include "tools/pack/platform/paths_name_one_file.h"

namespace korvanthelm::pack {
namespace {

[[noreturn]] void ThrowShared(const NamedPath& output, const NamedPath& other) {
    const std::string which = output.option == "-o" ? "" : output.option + " ";
    throw PackError("refused: the " + which + "output \"" + output.path + "\" is also the " +
                    other.option + " file");
}

}  // namespace

void RefuseOutputsThatShareAFile(std::span<const NamedPath> outputs,
                                 std::span<const NamedPath> inputs) {
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const NamedPath& output = outputs[i];
        if (output.path.empty()) {
            continue;
        }
        for (const NamedPath& input : inputs) {
            // An input that does not exist is refused where it is read; a
            // relative launcher file of that kind is looked for in the tree.
            if (!input.path.empty() && PathExists(input.path) &&
                PathsNameOneFile(output.path, input.path)) {
                ThrowShared(output, input);
            }
        }
        for (std::size_t j = i + 1; j < outputs.size(); ++j) {
            if (!outputs[j].path.empty() && PathsNameOneFile(output.path, outputs[j].path)) {
                ThrowShared(output, outputs[j]);
            }
        }
    }
}

}  // namespace korvanthelm::pack
