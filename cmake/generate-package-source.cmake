# cmake -DPACKAGE=... -DOUT_DIR=... [-DDIGESTS=...] [-DEXE_SHA256=...] [-DJAR_SHA256=...] -P this
# Writes OUT_DIR/package.bin (a copy of the package) and OUT_DIR/package_digests.cpp.
if(NOT EXISTS "${PACKAGE}")
  message(FATAL_ERROR "package file not found: ${PACKAGE}")
endif()
set(_exe "${EXE_SHA256}")
set(_jar "${JAR_SHA256}")
if(DIGESTS)
  include("${DIGESTS}")  # sets KORVANTHELM_LAUNCHER_EXE_SHA256 / _JAR_SHA256
  if(NOT _exe)
    set(_exe "${KORVANTHELM_LAUNCHER_EXE_SHA256}")
  endif()
  if(NOT _jar)
    set(_jar "${KORVANTHELM_LAUNCHER_JAR_SHA256}")
  endif()
endif()
foreach(v _exe _jar)
  if(NOT "${${v}}" MATCHES "^[0-9a-f]+$")
    message(FATAL_ERROR "launcher digest must be 64 lowercase hexadecimal digits, got '${${v}}'")
  endif()
  string(LENGTH "${${v}}" _len)
  if(NOT _len EQUAL 64)
    message(FATAL_ERROR "launcher digest must be 64 lowercase hexadecimal digits, got '${${v}}'")
  endif()
endforeach()
if(DIGEST_SOURCE)
  file(SHA256 "${DIGEST_SOURCE}" _package)
else()
  file(SHA256 "${PACKAGE}" _package)
endif()
file(MAKE_DIRECTORY "${OUT_DIR}")
file(COPY_FILE "${PACKAGE}" "${OUT_DIR}/package.bin" ONLY_IF_DIFFERENT)
set(_src "// Generated at build time from ${PACKAGE}.
#include \"package/package_digests.h\"

namespace korvanthelm {
extern const wchar_t kPackageDigest[] = L\"${_package}\";
extern const wchar_t kLauncherExeDigest[] = L\"${_exe}\";
extern const wchar_t kLauncherJarDigest[] = L\"${_jar}\";
}  // namespace korvanthelm
")
file(CONFIGURE OUTPUT "${OUT_DIR}/package_digests.cpp" CONTENT "${_src}")
