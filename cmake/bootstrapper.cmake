# The post-link step that puts the package's section on a page boundary runs
# on the build machine (standard library only).
find_program(KORVANTHELM_PYTHON3 NAMES python3 REQUIRED DOC "python3 for cmake/align-resource-section.py")

# korvanthelm_add_bootstrapper(<target>
#     PACKAGE <package file>
#     [DIGESTS <digest fragment written by korvanthelm-pack --digests-cmake>]
#     [EXE_SHA256 <hex>] [JAR_SHA256 <hex>]
#     [DEPENDS <targets or files that make the package>]
#     [OUTPUT_DIR <folder>]
#     [DIGEST_SOURCE <file>]   PackageDigest from these bytes instead (a test
#                              exe around a package that differs from its digest)
#     [NO_PACKAGE])            no resource 101 at all (a test exe)
#
# Builds <OUTPUT_DIR>/KORVANTHELM.exe around one package: the package becomes
# RCDATA 101 and the digests are compiled in. PackageDigest is always taken from
# the package file itself at build time; the launcher digests come from DIGESTS
# or EXE_SHA256/JAR_SHA256 (explicit values win). Tests use this to build exe
# variants around crafted packages.
function(korvanthelm_add_bootstrapper target)
  cmake_parse_arguments(B "NO_PACKAGE" "PACKAGE;DIGESTS;EXE_SHA256;JAR_SHA256;OUTPUT_DIR;DIGEST_SOURCE"
                        "DEPENDS" ${ARGN})
  if(NOT B_OUTPUT_DIR)
    set(B_OUTPUT_DIR ${CMAKE_CURRENT_BINARY_DIR}/${target})
  endif()
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/${target}.gen)
  set(script ${CMAKE_SOURCE_DIR}/cmake/generate-package-source.cmake)
  add_custom_command(
    OUTPUT ${gen}/package.bin ${gen}/package_digests.cpp
    COMMAND ${CMAKE_COMMAND} -DPACKAGE=${B_PACKAGE} -DDIGESTS=${B_DIGESTS}
            -DEXE_SHA256=${B_EXE_SHA256} -DJAR_SHA256=${B_JAR_SHA256} -DOUT_DIR=${gen}
            -DDIGEST_SOURCE=${B_DIGEST_SOURCE}
            -P ${script}
    DEPENDS ${B_PACKAGE} ${B_DIGESTS} ${B_DIGEST_SOURCE} ${B_DEPENDS} ${script}
    COMMENT "Embedding package ${B_PACKAGE} into ${target}"
    VERBATIM)
  # One resource script per variant: only the package differs.
  set(_package_line "LANGUAGE 0x09, 0x01\n101 RCDATA \"package.bin\"\n")
  if(B_NO_PACKAGE)
    set(_package_line "")
  endif()
  file(WRITE ${gen}/korvanthelm.rc.tmp
       "// Generated: the shared resources plus this variant's package.\n"
       "#pragma code_page(65001)\n"
       "#include \"korvanthelm_resources.rc\"\n"
       "${_package_line}")
  configure_file(${gen}/korvanthelm.rc.tmp ${gen}/korvanthelm.rc COPYONLY)
  file(GLOB _resource_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*)
  set_source_files_properties(${gen}/korvanthelm.rc PROPERTIES
    OBJECT_DEPENDS "${gen}/package.bin;${_resource_files}")

  add_executable(${target} WIN32
    ${CMAKE_SOURCE_DIR}/bootstrap/main.cpp ${CMAKE_SOURCE_DIR}/bootstrap/lean_runtime.cpp
    ${gen}/package_digests.cpp ${gen}/korvanthelm.rc)
  korvanthelm_unicode_entry(${target})
  korvanthelm_strict(${target})
  target_include_directories(${target} PRIVATE ${gen} ${CMAKE_SOURCE_DIR}/resources ${CMAKE_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE korvanthelm_core)
  # Unused functions of the linked libraries stay out of the exe (the
  # Windows-side code is compiled with one section per function).
  target_link_options(${target} PRIVATE -s -Wl,--gc-sections)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME KORVANTHELM
                        RUNTIME_OUTPUT_DIRECTORY ${B_OUTPUT_DIR})
  # Wine maps the package from the file at start-up instead of copying it
  # (cmake/align-resource-section.py says why and how).
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${KORVANTHELM_PYTHON3} ${CMAKE_SOURCE_DIR}/cmake/align-resource-section.py $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
