#include "tools/pack/pe/check_stub.h"

#include <string>

#include "tools/pack/pe/assemble_executable.h"

namespace korvanthelm::pack {

void CheckStub(std::span<const std::byte> stub, std::string_view version) {
    const std::string zeros(64, '0');
    AssembleExecutable(stub, {}, {zeros, zeros, zeros}, version);
}

}  // namespace korvanthelm::pack
