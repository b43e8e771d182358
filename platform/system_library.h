// Loading the Windows DLLs that are not KnownDLLs (bcrypt.dll, cabinet.dll).
//
// A DLL named in the import table, or loaded with the default search order,
// is looked for first in the folder the exe was started from - usually the
// user's Downloads folder, where anybody's "bcrypt.dll" may lie. These DLLs are
// therefore loaded from System32 only and their functions resolved by hand.
#pragma once

#include <windows.h>

#include "platform/unique_resource.h"

namespace korvanthelm {

// The DLL from System32, or an empty owner when it cannot be loaded there.
UniqueModule LoadSystemLibrary(const wchar_t* name) noexcept;

// A function of `module` by name or by ordinal; nullptr when the module is
// empty or does not export it.
template <class Function>
Function GetLibraryFunction(const UniqueModule& module, const char* name) noexcept {
    if (!module) {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module.get(), name)));
}
template <class Function>
Function GetLibraryFunction(const UniqueModule& module, WORD ordinal) noexcept {
    return GetLibraryFunction<Function>(module, MAKEINTRESOURCEA(ordinal));
}

}  // namespace korvanthelm
