# korvanthelm_add_bootstrapper(<target>
#     PACKAGE <package file>
#     [DIGESTS <digest fragment written by korvanthelm-pack --digests-cmake>]
#     [EXE_SHA256 <hex>] [JAR_SHA256 <hex>]
#     [DEPENDS <targets or files that make the package>]
#     [OUTPUT_DIR <folder>]
#     [UNCHECKED]              build around the package without verifying it
#                              (an exe the bootstrapper must refuse, for a test)
#     [DIGEST_SOURCE <file>]   PackageDigest from these bytes instead (a test
#                              exe around a package that differs from its
#                              digest; implies UNCHECKED)
#     [NO_PACKAGE])            the stub itself, no resource 101 at all
#
# <OUTPUT_DIR>/KORVANTHELM.exe made by `korvanthelm-pack build --package` from
# the stub: nothing is compiled or linked per package. PackageDigest is taken
# from the package file itself at build time; the launcher digests come from
# DIGESTS or EXE_SHA256/JAR_SHA256 (explicit values win). The target's
# property KORVANTHELM_EXE names the file.
function(korvanthelm_add_bootstrapper target)
  cmake_parse_arguments(B "NO_PACKAGE;UNCHECKED" "PACKAGE;DIGESTS;EXE_SHA256;JAR_SHA256;OUTPUT_DIR;DIGEST_SOURCE"
                        "DEPENDS" ${ARGN})
  if(NOT B_OUTPUT_DIR)
    set(B_OUTPUT_DIR ${CMAKE_CURRENT_BINARY_DIR}/${target})
  endif()
  set(exe ${B_OUTPUT_DIR}/KORVANTHELM.exe)
  set(stub $<TARGET_FILE:korvanthelm_stub>)
  if(B_NO_PACKAGE)
    add_custom_command(OUTPUT ${exe}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${B_OUTPUT_DIR}
      COMMAND ${CMAKE_COMMAND} -E copy ${stub} ${exe}
      DEPENDS korvanthelm_stub
      COMMENT "The stub as ${target}"
      VERBATIM)
  else()
    if(NOT KORVANTHELM_PACKER)
      message(FATAL_ERROR "${target}: assembling KORVANTHELM.exe needs the host packer")
    endif()
    set(script ${CMAKE_SOURCE_DIR}/cmake/assemble-bootstrapper.cmake)
    set(assemble ${CMAKE_COMMAND} -DPACKER=${KORVANTHELM_PACKER} -DSTUB=${stub}
        -DPACKAGE=${B_PACKAGE} -DDIGESTS=${B_DIGESTS} -DEXE_SHA256=${B_EXE_SHA256}
        -DJAR_SHA256=${B_JAR_SHA256} -DDIGEST_SOURCE=${B_DIGEST_SOURCE}
        -DUNCHECKED=${B_UNCHECKED})
    set(inputs korvanthelm_stub ${KORVANTHELM_PACKER} ${B_PACKAGE} ${B_DIGESTS}
        ${B_DIGEST_SOURCE} ${B_DEPENDS} ${script})
    add_custom_command(OUTPUT ${exe}
      COMMAND ${assemble} -DOUTPUT=${exe} -P ${script}
      DEPENDS ${inputs}
      COMMENT "Assembling ${target} from the stub and ${B_PACKAGE}"
      VERBATIM)
  endif()
  add_custom_target(${target} ALL DEPENDS ${exe})
  # korvanthelm_sign_product assembles the same exe again, signed.
  set_target_properties(${target} PROPERTIES KORVANTHELM_EXE ${exe}
                        KORVANTHELM_ASSEMBLE "${assemble}" KORVANTHELM_ASSEMBLE_INPUTS "${inputs}")
endfunction()
