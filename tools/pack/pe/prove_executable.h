// Whether a finished executable of this packer's version is exactly what
// `build` makes: the stub it came with, the package the executable carries
// and the three digests its slot holds, assembled again and compared byte for
// byte. Checking fields one by one would leave every field nobody thought of
// free to change; the assembly is deterministic, so the whole file can be
// proven instead.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/pe/certificate_table.h"
#include "tools/pack/pe/digest_slot_text.h"

namespace korvanthelm::pack {

// ProveExecutable's refusal of the stub it was given, as opposed to the
// executable: what() reads "the stub: " and the stub checks' refusal, which
// refusal() holds alone, for a caller that names the stub its own way.
class StubRefused : public PackError {
  public:
    explicit StubRefused(const std::string& refusal)
        : PackError("the stub: " + refusal), refusal_(refusal) {}
    const std::string& refusal() const { return refusal_; }

  private:
    std::string refusal_;
};

// Returns normally when `exe` equals AssembleExecutable(stub, its package
// resource, its slot's digests, version); `slot` is `exe`'s digest slot as
// the caller read it (ReadDigestSlot), and `table` its certificate table as
// the caller located it (FindCertificateTable), neither read again here. A signed `exe` is compared
// as it was before signing: the certificate table and the zero padding the signer puts before it
// (fewer than 8 bytes) removed, the certificate table entry zeroed and the CheckSum field left out;
// the signature itself is the caller's to check.
//
// Throws StubRefused, one line: "the stub: ..." with the stub checks'
// refusal when `stub` is not a stub of `version`; else PackError: "refused:
// the executable is not the stub of version VERSION with its package (first
// difference: PART)" naming the part of the file where it first differs
// ("headers", "section .rsrc", "bytes after the sections"); the reader's
// refusals when the executable cannot be assembled again (no package
// resource, no digest slot), or "refused: ..." for digest texts of another
// form.
void ProveExecutable(std::span<const std::byte> exe, const DigestSlotContents& slot,
                     const std::optional<CertificateTable>& table, std::span<const std::byte> stub,
                     std::string_view version);

}  // namespace korvanthelm::pack
