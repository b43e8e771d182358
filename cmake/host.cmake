# Host side: portable code, the packer, host tests and fuzzers; then the
# Windows side as a sub-build that is handed the packer.
korvanthelm_option(KORVANTHELM_SANITIZE BOOL ON "Build host code with AddressSanitizer and UBSan")
korvanthelm_option(KORVANTHELM_WINDOWS BOOL ON "Cross-build the Windows part and run its tests under Wine")
korvanthelm_option(KORVANTHELM_FUZZ_SECONDS STRING 10 "Length of each fuzzer's run in the host tests")

# wimlib (Debian libwim-dev), for tests and benchmarks only: the reference
# decoder every block of ours is checked with and the compressor ours is
# compared with. Nothing shipped links it. Its .pc file names private
# dependencies that are not installed, so it is found directly.
find_path(WIMLIB_INCLUDE_DIR wimlib.h REQUIRED)
find_library(WIMLIB_LIBRARY wim REQUIRED)
add_library(wimlib::wimlib UNKNOWN IMPORTED)
set_target_properties(wimlib::wimlib PROPERTIES IMPORTED_LOCATION ${WIMLIB_LIBRARY}
                      INTERFACE_INCLUDE_DIRECTORIES ${WIMLIB_INCLUDE_DIR})
find_package(OpenSSL REQUIRED COMPONENTS Crypto)

include(${CMAKE_SOURCE_DIR}/cmake/debian-hardening.cmake)
if(KORVANTHELM_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

include(${CMAKE_SOURCE_DIR}/cmake/googletest.cmake)

# libFuzzer targets need clang; with another compiler they are simply not built.
set(KORVANTHELM_HAVE_FUZZER OFF)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(KORVANTHELM_HAVE_FUZZER ON)
  # Coverage feedback from every library a fuzzer links, not only from the
  # fuzzer's own source: otherwise the fuzzers run blind through our code.
  # The sanitizer runtime every host program links then takes the callbacks.
  if(KORVANTHELM_SANITIZE)
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
endif()
# korvanthelm_add_fuzzer(name source... LIBS lib...): a libFuzzer target plus a
# short fixed-time run of it as a host test.
function(korvanthelm_add_fuzzer name)
  if(NOT KORVANTHELM_HAVE_FUZZER)
    return()
  endif()
  cmake_parse_arguments(F "" "" "LIBS" ${ARGN})
  add_executable(${name} ${F_UNPARSED_ARGUMENTS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  korvanthelm_strict(${name})
  add_test(NAME ${name}.run
           COMMAND ${name} -max_total_time=${KORVANTHELM_FUZZ_SECONDS} -print_final_stats=1
                   -rss_limit_mb=4096)
endfunction()

# Host programs that the Windows build uses to make its test packages.
add_custom_target(korvanthelm-test-tools)

add_subdirectory(format)
add_subdirectory(codec/lzms)
add_subdirectory(codec/container)
add_subdirectory(tools/pack)
if(KORVANTHELM_TESTS)
  add_subdirectory(tests/host)
  add_subdirectory(bench)
endif()

if(KORVANTHELM_WINDOWS)
  include(ExternalProject)
  set(_packer -DKORVANTHELM_PACKER=)
  set(_packer_deps korvanthelm-test-tools)
  if(TARGET korvanthelm-pack)
    set(_packer -DKORVANTHELM_PACKER=$<TARGET_FILE:korvanthelm-pack>)
    list(APPEND _packer_deps korvanthelm-pack)
  endif()
  set(KORVANTHELM_WINDOWS_BINARY_DIR ${CMAKE_BINARY_DIR}/windows)
  # The Windows build mirrors this configuration: every option declared with
  # FORWARD (cmake/options.cmake) is handed over on every configure, empty
  # ones too (-DNAME=), so an option removed here is removed there instead of
  # living on in the sub-build's cache; and any change of a value changes the
  # configure command, which makes ExternalProject configure the sub-build
  # again before building it.
  korvanthelm_forwarded_args(_forwarded)
  # What was handed over, for the check that it arrived.
  set(_forwarded_record ${CMAKE_BINARY_DIR}/windows-forwarded-options.txt)
  korvanthelm_write_forwarded_record(${_forwarded_record})
  set(_check_forwarded ${CMAKE_COMMAND} -DRECORD=${_forwarded_record}
      -DCACHE=${KORVANTHELM_WINDOWS_BINARY_DIR}/CMakeCache.txt
      -P ${CMAKE_SOURCE_DIR}/cmake/check-forwarded-options.cmake)
  ExternalProject_Add(windows
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${KORVANTHELM_WINDOWS_BINARY_DIR}
    CMAKE_GENERATOR ${CMAKE_GENERATOR}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/x86_64-w64-mingw32.cmake
      -DCMAKE_BUILD_TYPE=Release
      ${_packer}
      -DKORVANTHELM_HOST_TOOLS_DIR=${CMAKE_BINARY_DIR}/tools
      -DKORVANTHELM_HOST_BINARY_DIR=${CMAKE_BINARY_DIR}
      ${_forwarded}
    LIST_SEPARATOR |
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    DEPENDS ${_packer_deps}
    USES_TERMINAL_BUILD ON
    USES_TERMINAL_CONFIGURE ON
    # windows-configure: the packer built and the sub-build configured, so
    # that single targets can be built in it (scripts/demo.sh).
    STEP_TARGETS configure)
  # Right after each configure of the sub-build, before it builds: a value
  # that did not arrive (or was changed there) stops the build here rather
  # than giving a product built with another setting.
  ExternalProject_Add_Step(windows check-forwarded
    COMMAND ${_check_forwarded}
    COMMENT "Checking that the Windows build holds the forwarded options"
    DEPENDEES configure
    DEPENDERS build)
  if(KORVANTHELM_TESTS)
    add_test(NAME cmake.forwarded_options COMMAND ${_check_forwarded})
  endif()
  include(${CMAKE_SOURCE_DIR}/cmake/tools-package.cmake)
  # One ctest run covers both sides: the Windows build's tests are included
  # as a subdirectory of this one.
  file(WRITE ${CMAKE_BINARY_DIR}/windows-tests.cmake "subdirs(\"${KORVANTHELM_WINDOWS_BINARY_DIR}\")\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/windows-tests.cmake)
endif()
