# cmake -DPACKER=... -DSTUB=... -DPACKAGE=... -DOUTPUT=... [-DDIGESTS=...]
#       [-DEXE_SHA256=...] [-DJAR_SHA256=...] [-DDIGEST_SOURCE=...] [-DUNCHECKED=ON]
#       [-DSIGN_CERT=...] [-DSIGN_KEY=...] [-DSIGN_PKCS11_MODULE=...] [-DSIGN_COMMAND=...]
#       [-DTIMESTAMP_URLS="URL URL ..."] -P this
# Runs `korvanthelm-pack build --package` with the launcher digests taken from
# the explicit values or else from the digest fragment `pack` wrote (known
# only once the package is made, so read here at build time).
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
set(_args build --package "${PACKAGE}" -o "${OUTPUT}" --stub "${STUB}"
          --launcher-exe-sha256 "${_exe}" --launcher-jar-sha256 "${_jar}")
if(DIGEST_SOURCE)
  file(SHA256 "${DIGEST_SOURCE}" _package)
  list(APPEND _args --no-verify --package-sha256 ${_package})
elseif(UNCHECKED)
  list(APPEND _args --no-verify)
endif()
# Signing: the password or PIN stays in KORVANTHELM_SIGN_PASSWORD, which the
# packer reads from this process's environment (that of `cmake --build`).
foreach(_option SIGN_CERT SIGN_KEY SIGN_PKCS11_MODULE SIGN_COMMAND)
  if(${_option})
    string(TOLOWER "${_option}" _name)
    string(REPLACE "_" "-" _name "${_name}")
    # Escaped, a semicolon (a pkcs11: URI has several) stays inside the argument.
    string(REPLACE ";" "\\;" _value "${${_option}}")
    list(APPEND _args --${_name} "${_value}")
  endif()
endforeach()
separate_arguments(_urls UNIX_COMMAND "${TIMESTAMP_URLS}")
foreach(_url IN LISTS _urls)
  list(APPEND _args --timestamp-url "${_url}")
endforeach()
get_filename_component(_folder "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${_folder}")
execute_process(COMMAND "${PACKER}" ${_args} RESULT_VARIABLE _status OUTPUT_QUIET)
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "korvanthelm-pack build failed for ${OUTPUT}")
endif()
