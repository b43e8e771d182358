# Authenticode signing of KORVANTHELM.exe (optional), done by
# `korvanthelm-pack build` itself. Without a signer nothing changes: the
# packer writes product/KORVANTHELM.exe. With one, product/unsigned/ holds the
# exe as assembled, still byte-reproducible, and product/KORVANTHELM.exe is
# the same assembly signed (SHA-256), checked as `verify` checks before it is
# put there.
#
# The key's password or the token's PIN is never a CMake variable: the packer
# reads it from the environment variable KORVANTHELM_SIGN_PASSWORD of the
# build (`cmake --build`). (KORVANTHELM_SIGN_* are declared in the top-level
# CMakeLists.txt with the other product options.)
find_program(KORVANTHELM_OSSLSIGNCODE osslsigncode DOC "osslsigncode (Debian package osslsigncode)")

set(KORVANTHELM_PRODUCT_DIR ${CMAKE_BINARY_DIR}/product)
set(_signing OFF)
if(KORVANTHELM_SIGN_CERT OR KORVANTHELM_SIGN_COMMAND)
  set(_signing ON)
endif()
if(_signing)
  if(KORVANTHELM_SIGN_CERT AND NOT KORVANTHELM_OSSLSIGNCODE)
    message(FATAL_ERROR "KORVANTHELM_SIGN_CERT is set but osslsigncode is missing "
                        "(scripts/install-deps.sh installs it)")
  endif()
  # Absolute: the host build hands the values to this sub-build unchanged,
  # and a relative path would be read from another folder here. A key in a
  # token is a pkcs11: URI, not a file.
  foreach(file KORVANTHELM_SIGN_CERT KORVANTHELM_SIGN_KEY KORVANTHELM_SIGN_PKCS11_MODULE)
    if(${file} AND NOT "${${file}}" MATCHES "^pkcs11:" AND
       NOT (IS_ABSOLUTE "${${file}}" AND EXISTS "${${file}}"))
      message(FATAL_ERROR "${file}: no file at ${${file}} (give an absolute path)")
    endif()
  endforeach()
  # Where the unsigned product goes: the signed copy takes its usual place.
  set(KORVANTHELM_PRODUCT_LINK_DIR ${KORVANTHELM_PRODUCT_DIR}/unsigned)
  message(STATUS "KORVANTHELM.exe is signed (${KORVANTHELM_SIGN_CERT}${KORVANTHELM_SIGN_COMMAND})")
else()
  set(KORVANTHELM_PRODUCT_LINK_DIR ${KORVANTHELM_PRODUCT_DIR})
endif()

# korvanthelm_sign_product(<target>): when signing is configured, the target
# `<target>-signed` (built by default) assembles <target>'s exe again, signed,
# into product/KORVANTHELM.exe.
function(korvanthelm_sign_product target)
  if(NOT _signing)
    return()
  endif()
  set(signed ${KORVANTHELM_PRODUCT_DIR}/KORVANTHELM.exe)
  get_target_property(assemble ${target} KORVANTHELM_ASSEMBLE)
  get_target_property(inputs ${target} KORVANTHELM_ASSEMBLE_INPUTS)
  set(files)
  foreach(file KORVANTHELM_SIGN_CERT KORVANTHELM_SIGN_KEY)
    if(${file} AND NOT "${${file}}" MATCHES "^pkcs11:")
      list(APPEND files ${${file}})
    endif()
  endforeach()
  string(JOIN " " urls ${KORVANTHELM_SIGN_TIMESTAMP_URL})
  # A pkcs11: URI holds semicolons; each value must stay one argument.
  string(REPLACE ";" "$<SEMICOLON>" key "${KORVANTHELM_SIGN_KEY}")
  string(REPLACE ";" "$<SEMICOLON>" command "${KORVANTHELM_SIGN_COMMAND}")
  add_custom_command(OUTPUT ${signed}
    COMMAND ${assemble} -DOUTPUT=${signed} -DSIGN_CERT=${KORVANTHELM_SIGN_CERT}
            -DSIGN_KEY=${key} -DSIGN_PKCS11_MODULE=${KORVANTHELM_SIGN_PKCS11_MODULE}
            -DSIGN_COMMAND=${command} -DTIMESTAMP_URLS=${urls}
            -P ${CMAKE_SOURCE_DIR}/cmake/assemble-bootstrapper.cmake
    DEPENDS ${inputs} ${files} ${target}
    COMMENT "Assembling KORVANTHELM.exe again, signed (Authenticode, SHA-256)"
    VERBATIM)
  add_custom_target(${target}-signed ALL DEPENDS ${signed})
endfunction()
