#include "tools/pack/platform/standard_error_is_terminal.h"

#include <unistd.h>

namespace korvanthelm::pack {

bool StandardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace korvanthelm::pack
