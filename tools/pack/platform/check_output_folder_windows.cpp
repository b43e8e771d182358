#include <windows.h>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/check_output_folder.h"
#include "tools/pack/platform/create_new_file.h"
#include "tools/pack/platform/wide_path.h"

namespace korvanthelm::pack {
namespace {

// The folder the output's temporary file goes to, as StagedFile names it;
// either slash separates, and "C:" alone is that drive's working folder.
std::string FolderOf(const std::string& output) {
    const std::size_t slash = output.find_last_of("\\/");
    if (slash == std::string::npos) {
        return output.size() >= 2 && output[1] == ':' ? output.substr(0, 2) : ".";
    }
    const bool root = slash == 0 || (slash == 2 && output[1] == ':');
    return output.substr(0, root ? slash + 1 : slash);
}

}  // namespace

void RequireWritableOutputFolder(const std::string& output) {
    const std::string prefix = "cannot write \"" + output + "\": ";
    const std::string folder = FolderOf(output);
    const DWORD folder_attributes = GetFileAttributesW(WidePath(folder).c_str());
    if (folder_attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        throw PackError(prefix + (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                                      ? "its folder \"" + folder + "\" does not exist"
                                      : "cannot examine its folder \"" + folder +
                                            "\": " + WindowsErrorText(error)));
    }
    if ((folder_attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        throw PackError(prefix + "\"" + folder + "\" is not a folder");
    }
    const DWORD attributes = GetFileAttributesW(WidePath(output).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw PackError(prefix + "it is a folder; name the file to write");
    }
    // Attributes alone do not tell (ACLs, read-only media): a real file made
    // the way the output's temporary file will be made does.
    std::string probe;
    int error = 0;
    UniqueFd file = CreateNewFile(folder + "/.korvanthelm-probe-", "", probe, error);
    if (!file) {
        throw PackError(prefix + "cannot create a file in \"" + folder +
                        "\": " + WindowsErrorText(static_cast<DWORD>(error)));
    }
    file.reset();
    DeleteFileW(WidePath(probe).c_str());
}

}  // namespace korvanthelm::pack
