#include "platform/system_library.h"

namespace korvanthelm {

UniqueModule LoadSystemLibrary(const wchar_t* name) noexcept {
    return UniqueModule(LoadLibraryExW(name, /*file=*/nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

}  // namespace korvanthelm
