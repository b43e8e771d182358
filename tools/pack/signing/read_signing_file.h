// The signing inputs the packer reads itself (a PEM certificate or key, a
// PKCS#12 file) and the PKCS#11 module it loads: each must be a regular file,
// opened without blocking, so that a FIFO or a device given by mistake is
// refused at once instead of holding the run, and a certificate or key is
// read only up to a size no real one comes near.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvanthelm::pack {

// A certificate chain or a key, PEM or PKCS#12, is a few KiB; a long chain
// with its CA certificates well under 100 KiB. A MiB leaves room for any real
// one and stops a mistaken huge file before it is read.
inline constexpr std::uint64_t kMaxSigningFileSize = std::uint64_t{1} << 20;

// The whole content of the signing input at `path`, `what` naming it in the
// refusals ("certificate", "key"). Throws PackError, one line: "the WHAT: "
// and OpenRegularFile's refusal (not a regular file, cannot be opened), or
// "refused: the WHAT "PATH" holds more than 1048576 bytes, more than any
// certificate or key file"; nothing is read before these checks.
std::vector<std::byte> ReadSigningFile(const std::string& path, const char* what);

// Throws the same refusals as ReadSigningFile (without the size limit: a
// module is mapped, not read) when the PKCS#11 module at `path` exists and
// is not a regular file that opens; reads nothing. A missing module is left
// to the loader's refusal.
void RequireRegularModuleFile(const std::string& path);

}  // namespace korvanthelm::pack
