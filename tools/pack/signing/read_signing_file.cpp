#include "tools/pack/signing/read_signing_file.h"

#include <limits>
#include <span>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/base/printable_path.h"
#include "tools/pack/platform/files.h"

namespace korvanthelm::pack {
namespace {

std::string Named(const char* what, const std::string& path) {
    return std::string("the ") + what + " \"" + PrintableHostPath(path) + "\"";
}

// `path` opened without blocking, its size not yet judged; the platform's
// refusal (not a regular file, cannot open) said as the signing input's.
OpenedFile OpenSigningInput(const std::string& path, const char* what) {
    try {
        return OpenRegularFile(path, std::numeric_limits<std::uint64_t>::max());
    } catch (const PackError& error) {
        throw PackError(std::string("the ") + what + ": " + error.what());
    }
}

}  // namespace

std::vector<std::byte> ReadSigningFile(const std::string& path, const char* what) {
    const OpenedFile file = OpenSigningInput(path, what);
    const auto refuse_size = [&] {
        throw PackError("refused: " + Named(what, path) + " holds more than " +
                        std::to_string(kMaxSigningFileSize) +
                        " bytes, more than any certificate or key file");
    };
    if (file.size > kMaxSigningFileSize) {
        refuse_size();
    }
    // One byte past the limit tells a file that grew since it was opened.
    std::vector<std::byte> bytes(static_cast<std::size_t>(kMaxSigningFileSize) + 1);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t got = ReadSomeOf(file.fd, std::span(bytes).subspan(done), path);
        if (got == 0) {
            break;
        }
        done += got;
    }
    if (done > kMaxSigningFileSize) {
        refuse_size();
    }
    bytes.resize(done);
    return bytes;
}

void RequireRegularModuleFile(const std::string& path) {
    // A missing module is the loader's to name, with the loader's words.
    if (PathExists(path)) {
        OpenSigningInput(path, "PKCS#11 module");
    }
}

}  // namespace korvanthelm::pack
