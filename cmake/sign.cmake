# Authenticode signing of KORVANTHELM.exe (optional). Without a certificate
# nothing changes: the packer writes product/KORVANTHELM.exe. With one, the
# packer writes product/unsigned/KORVANTHELM.exe, still byte-reproducible, and
# product/KORVANTHELM.exe is its signed copy (SHA-256, osslsigncode), checked
# with `korvanthelm-pack verify` before it is put there.
#
# The key's password is never a CMake variable: the signing step reads it
# from the environment variable KORVANTHELM_SIGN_PASSWORD of the build
# (`cmake --build`), see cmake/sign-exe.sh.
# (KORVANTHELM_SIGN_CERT, _KEY and _TIMESTAMP_URL are declared in the
# top-level CMakeLists.txt with the other product options.)
find_program(KORVANTHELM_OSSLSIGNCODE osslsigncode DOC "osslsigncode (Debian package osslsigncode)")

set(KORVANTHELM_PRODUCT_DIR ${CMAKE_BINARY_DIR}/product)
if(KORVANTHELM_SIGN_CERT)
  if(NOT KORVANTHELM_OSSLSIGNCODE)
    message(FATAL_ERROR "KORVANTHELM_SIGN_CERT is set but osslsigncode is missing "
                        "(scripts/install-deps.sh installs it)")
  endif()
  # Absolute: the host build hands the values to this sub-build unchanged,
  # and a relative path would be read from another folder here.
  foreach(file KORVANTHELM_SIGN_CERT KORVANTHELM_SIGN_KEY)
    if(${file} AND NOT (IS_ABSOLUTE "${${file}}" AND EXISTS "${${file}}"))
      message(FATAL_ERROR "${file}: no file at ${${file}} (give an absolute path)")
    endif()
  endforeach()
  # Where the packer puts the product: the signed copy takes its usual place.
  set(KORVANTHELM_PRODUCT_LINK_DIR ${KORVANTHELM_PRODUCT_DIR}/unsigned)
  message(STATUS "KORVANTHELM.exe is signed with ${KORVANTHELM_SIGN_CERT}")
else()
  set(KORVANTHELM_PRODUCT_LINK_DIR ${KORVANTHELM_PRODUCT_DIR})
endif()

# korvanthelm_sign_product(<target>): when signing is configured, the target
# `<target>-signed` (built by default) writes the signed copy of <target>'s
# executable to product/KORVANTHELM.exe.
function(korvanthelm_sign_product target)
  if(NOT KORVANTHELM_SIGN_CERT)
    return()
  endif()
  set(script ${CMAKE_SOURCE_DIR}/cmake/sign-exe.sh)
  set(signed ${KORVANTHELM_PRODUCT_DIR}/KORVANTHELM.exe)
  set(args --osslsigncode ${KORVANTHELM_OSSLSIGNCODE} --cert ${KORVANTHELM_SIGN_CERT})
  if(KORVANTHELM_SIGN_KEY)
    list(APPEND args --key ${KORVANTHELM_SIGN_KEY})
  endif()
  if(KORVANTHELM_SIGN_TIMESTAMP_URL)
    list(APPEND args --timestamp ${KORVANTHELM_SIGN_TIMESTAMP_URL})
  endif()
  if(KORVANTHELM_PACKER)
    list(APPEND args --packer ${KORVANTHELM_PACKER})
  endif()
  add_custom_command(OUTPUT ${signed}
    COMMAND bash ${script} ${args} $<TARGET_PROPERTY:${target},KORVANTHELM_EXE> ${signed}
    DEPENDS ${target} ${script} ${KORVANTHELM_SIGN_CERT} ${KORVANTHELM_SIGN_KEY}
            ${KORVANTHELM_PACKER}
    COMMENT "Signing KORVANTHELM.exe (Authenticode, SHA-256)"
    VERBATIM)
  add_custom_target(${target}-signed ALL DEPENDS ${signed})
endfunction()
