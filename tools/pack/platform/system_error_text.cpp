#include "tools/pack/platform/system_error_text.h"

#ifdef _WIN32
#include "tools/pack/platform/wide_path.h"
#else
#include <cstring>
#endif

namespace korvanthelm::pack {

std::string SystemErrorText(int error) {
#ifdef _WIN32
    return WindowsErrorText(static_cast<unsigned long>(error));
#else
    return std::strerror(error);
#endif
}

}  // namespace korvanthelm::pack
