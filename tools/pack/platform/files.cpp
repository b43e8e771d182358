// files.h: the parts that are the same on every system.
#include "tools/pack/platform/files.h"

#include "tools/pack/base/pack_error.h"
#include "tools/pack/platform/temporary_files.h"

#ifdef _WIN32
#include <windows.h>

#include "tools/pack/platform/wide_path.h"
#else
#include <sys/stat.h>

#include <cstdio>
#endif

// ReadWholeFile: the same on every system, over OpenRegularFile
// and ReadSome.

namespace korvanthelm::pack {
namespace {

// A read that grows the buffer past the size seen at open must still stop at
// `max_size`: one byte more is read to tell "exactly that" from "more".
constexpr std::size_t kGrowthStep = 1 << 16;

}  // namespace

std::vector<std::byte> ReadWholeFile(const std::string& path, std::uint64_t max_size) {
    const OpenedFile file = OpenRegularFile(path, max_size);
    std::vector<std::byte> bytes(static_cast<std::size_t>(file.size));
    std::size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            if (done > max_size) {
                ThrowFileTooLarge(path, max_size);  // it grew while being read
            }
            bytes.resize(bytes.size() + kGrowthStep);  // the file may have grown
        }
        const std::size_t got = ReadSomeOf(file.fd, std::span(bytes).subspan(done), path);
        if (got == 0) {
            break;
        }
        done += got;
    }
    if (done > max_size) {
        ThrowFileTooLarge(path, max_size);
    }
    bytes.resize(done);
    return bytes;
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

ExactRead ReadExactly(const UniqueFd& file, std::span<std::byte> out, int& error) {
    while (!out.empty()) {
        const std::optional<std::size_t> got = ReadSome(file, out, error);
        if (!got) {
            return ExactRead::kFailed;
        }
        if (*got == 0) {
            return ExactRead::kShorter;
        }
        out = out.subspan(*got);
    }
    std::byte extra;
    int ignored = 0;
    const std::optional<std::size_t> got = ReadSome(file, std::span(&extra, 1), ignored);
    return got && *got == 0 ? ExactRead::kRead : ExactRead::kLonger;
}

}  // namespace korvanthelm::pack

// StagedFile's temporary file: the same on every system, over
// the temporary-file list and RemoveFileIfPresent.

namespace korvanthelm::pack {

StagedFile::Temporary::~Temporary() {
    if (!path_.empty()) {
        RemoveFileIfPresent(path_);
        UnregisterTemporaryFile(path_);
    }
}

void StagedFile::Temporary::Adopt(std::string path) {
    RegisterTemporaryFile(path);
    path_ = std::move(path);
}

void StagedFile::Temporary::Release() {
    UnregisterTemporaryFile(path_);
    path_.clear();
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

void RemoveFileIfPresent(const std::string& path) {
#ifdef _WIN32
    DeleteFileW(WidePath(path).c_str());
#else
    std::remove(path.c_str());
#endif
}

}  // namespace korvanthelm::pack

namespace korvanthelm::pack {

bool PathExists(const std::string& path) {
#ifdef _WIN32
    // Any answer but INVALID_FILE_ATTRIBUTES: something is there.
    return GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
#endif
}

}  // namespace korvanthelm::pack

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
