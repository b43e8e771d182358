# Windows side (mingw-w64): the bootstrapper, its test programs, the demo
# launcher and the stand-in cabinet.dll; tests run under Wine.
enable_language(RC)

# GCC 12 reports std::vector<std::byte>::insert at -O2 as a write into a
# region of size 0 (GCC bug 107852, a false positive); clang on the host
# side keeps checking those paths under ASan.
list(APPEND KORVANTHELM_WARNINGS -Wno-stringop-overflow)
# Likewise at -O3 for std::string concatenation (GCC bug 105329, -Wrestrict).
list(APPEND KORVANTHELM_WARNINGS -Wno-restrict)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
# Only what we name: the product's import table must hold KnownDLLs alone.
set(CMAKE_C_STANDARD_LIBRARIES "-lkernel32 -luser32" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "-lkernel32 -luser32" CACHE STRING "" FORCE)
# No timestamps in the PE header: the same sources give the same bytes.
add_link_options(-Wl,--no-insert-timestamp)
# One section per function and object, so the product's link can leave out
# what it does not call (the packer's side of the shared formats, say).
add_compile_options(-ffunction-sections -fdata-sections)

# Handed in by the host build, which computes them (they are not its options).
korvanthelm_option(KORVANTHELM_PACKER FILEPATH "" "Host packer (korvanthelm-pack), handed in by the host build")
korvanthelm_option(KORVANTHELM_HOST_TOOLS_DIR PATH "" "Folder of the host build's tools")
korvanthelm_option(KORVANTHELM_HOST_BINARY_DIR PATH ""
    "The host build folder (its CPack configuration makes the tools package)")

# Every test program runs through the wrapper that owns this tree's Wine prefix.
set(KORVANTHELM_WINE_HOME ${CMAKE_BINARY_DIR}/wine)
set(KORVANTHELM_STANDIN_DLL ${CMAKE_BINARY_DIR}/bin/cabinet.dll)
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

include(${CMAKE_SOURCE_DIR}/cmake/googletest.cmake)

# Programs with a wmain/wWinMain entry.
function(korvanthelm_unicode_entry target)
  target_compile_options(${target} PRIVATE -municode)
  target_link_options(${target} PRIVATE -municode)
endfunction()

include(${CMAKE_SOURCE_DIR}/cmake/bootstrapper.cmake)

add_subdirectory(format)
add_subdirectory(codec/lzms)
add_subdirectory(codec/container)
if(KORVANTHELM_TESTS)
  add_subdirectory(support/cabinet)  # for Wine only: tests and benchmarks
endif()
add_subdirectory(platform)
# korvanthelm-pack.exe: the packer from the same sources, for studios that
# build on Windows.
add_subdirectory(tools/pack)
add_subdirectory(package)
add_subdirectory(bootstrap)
# The host packer takes its default stub from ../share/korvanthelm/ beside
# itself, as installed; a copy there lets `verify` in the build tree prove
# the exes this build makes without --stub.
if(KORVANTHELM_HOST_TOOLS_DIR)
  set(_stub_beside_packer ${KORVANTHELM_HOST_TOOLS_DIR}/share/korvanthelm/korvanthelm-stub.exe)
  set(_watcher_beside_packer ${KORVANTHELM_HOST_TOOLS_DIR}/share/korvanthelm/korvanthelm-watcher.exe)
  add_custom_target(korvanthelm_stub_beside_packer ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KORVANTHELM_HOST_TOOLS_DIR}/share/korvanthelm
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:korvanthelm_stub> ${_stub_beside_packer}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:watcher> ${_watcher_beside_packer}
    DEPENDS korvanthelm_stub watcher
    COMMENT "Copying the stub and the watcher to where the build tree's packer looks for them"
    VERBATIM)
endif()
add_subdirectory(demo)
add_subdirectory(resources)
add_subdirectory(tools/selftest)
add_subdirectory(tools/watcher)
include(${CMAKE_SOURCE_DIR}/cmake/windows-tools-archive.cmake)

# korvanthelm_windows_test(<name> <sources...> [LIBS <libs...>] [DEPENDS <targets...>]
#                          [PROPERTIES <ctest properties...>])
# A GoogleTest program run under Wine, one CTest entry per test case.
function(korvanthelm_windows_test name)
  cmake_parse_arguments(T "" "" "LIBS;DEPENDS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS} ${CMAKE_SOURCE_DIR}/tests/windows/gtest_wmain.cpp)
  korvanthelm_unicode_entry(${name})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE GTest::gtest ${T_LIBS})
  korvanthelm_strict(${name})
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES TIMEOUT 120 ${T_PROPERTIES})
endfunction()

# ---- The product: KORVANTHELM.exe around the release package ------------------
# (its options are declared in the top-level CMakeLists.txt)
include(${CMAKE_SOURCE_DIR}/cmake/sign.cmake)
# Made from the stub by the host packer; a prebuilt package is verified as
# `korvanthelm-pack build` verifies it unless KORVANTHELM_PACKAGE_UNCHECKED.
if(KORVANTHELM_PACKAGE)
  set(_unchecked)
  if(KORVANTHELM_PACKAGE_UNCHECKED)
    set(_unchecked UNCHECKED)
  endif()
  korvanthelm_add_bootstrapper(korvanthelm PACKAGE ${KORVANTHELM_PACKAGE}
    EXE_SHA256 ${KORVANTHELM_LAUNCHER_EXE_SHA256} JAR_SHA256 ${KORVANTHELM_LAUNCHER_JAR_SHA256}
    OUTPUT_DIR ${KORVANTHELM_PRODUCT_LINK_DIR} ${_unchecked})
  set(KORVANTHELM_PRODUCT_PACKAGE ${KORVANTHELM_PACKAGE})
elseif(KORVANTHELM_PACKER)
  if(KORVANTHELM_LAUNCHER_TREE)
    set(_tree ${KORVANTHELM_LAUNCHER_TREE})
    file(GLOB_RECURSE _tree_deps CONFIGURE_DEPENDS ${_tree}/*)
  else()
    set(_tree ${KORVANTHELM_DEMO_TREE})
    set(_tree_deps ${KORVANTHELM_DEMO_TREE_STAMP} ${KORVANTHELM_DEMO_TREE_TARGET})
  endif()
  set(_package ${CMAKE_BINARY_DIR}/product-package/package.bin)
  set(_digests ${CMAKE_BINARY_DIR}/product-package/digests.cmake)
  add_custom_command(OUTPUT ${_package} ${_digests}
    COMMAND ${KORVANTHELM_PACKER} pack ${_tree} -o ${_package} --digests-cmake ${_digests}
    DEPENDS ${_tree_deps} ${KORVANTHELM_PACKER}
    WORKING_DIRECTORY ${_tree}
    COMMENT "Packing the launcher tree ${_tree}"
    VERBATIM)
  korvanthelm_add_bootstrapper(korvanthelm PACKAGE ${_package} DIGESTS ${_digests}
    EXE_SHA256 ${KORVANTHELM_LAUNCHER_EXE_SHA256} JAR_SHA256 ${KORVANTHELM_LAUNCHER_JAR_SHA256}
    OUTPUT_DIR ${KORVANTHELM_PRODUCT_LINK_DIR})
  set(KORVANTHELM_PRODUCT_PACKAGE ${_package})
else()
  message(STATUS "No packer: only the stub is built, KORVANTHELM.exe is not")
endif()
if(TARGET korvanthelm)
  korvanthelm_sign_product(korvanthelm)
endif()

if(NOT KORVANTHELM_TESTS)
  return()
endif()
add_subdirectory(bench/extract)
add_subdirectory(bench/fast_path)
add_subdirectory(bench/decode)
add_subdirectory(bench/cleanup)
add_subdirectory(bench/peer)

# ---- Tests ----------------------------------------------------------------------
add_subdirectory(tests/windows)
add_subdirectory(tests/e2e)
add_subdirectory(tests/pe)
add_subdirectory(tests/signing)
