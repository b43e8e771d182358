# Test programs and the tests of the platform services and the package code.

add_library(korvanthelm_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/test_support.cpp)
target_include_directories(korvanthelm_test_support PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(korvanthelm_test_support PUBLIC GTest::gtest bcrypt)
korvanthelm_strict(korvanthelm_test_support)

# watcher.exe (tools/watcher) answers message boxes; probe.exe stands in for
# the set-up program and the installed launcher and reports how it was started.
add_executable(probe WIN32 ${CMAKE_SOURCE_DIR}/tests/tools/probe.cpp)
korvanthelm_unicode_entry(probe)
korvanthelm_strict(probe)

# Links for the link-safety tests, made on the Linux side (Z: is Wine's /).
set(KORVANTHELM_LINKS_DIR ${CMAKE_BINARY_DIR}/test-links)
add_test(NAME make_links COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/make_links.sh ${KORVANTHELM_LINKS_DIR})
set_tests_properties(make_links PROPERTIES FIXTURES_SETUP links)
string(REPLACE "/" "\\" _links_windows "Z:${KORVANTHELM_LINKS_DIR}")

korvanthelm_windows_test(platform_test
  ${CMAKE_CURRENT_LIST_DIR}/work_directory_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/launcher_process_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sha256_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unique_resource_test.cpp
  LIBS korvanthelm_platform korvanthelm_test_support
  DEPENDS probe watcher
  PROPERTIES ENVIRONMENT "KORVANTHELM_LINKS_DIR=${_links_windows}" FIXTURES_REQUIRED links)

korvanthelm_windows_test(package_test
  ${CMAKE_CURRENT_LIST_DIR}/package_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/entry_walk_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_digests.cpp
  LIBS korvanthelm_package korvanthelm_entry_walk_driver korvanthelm_test_support
  DEPENDS cabinet_standin
  PROPERTIES ENVIRONMENT "KORVANTHELM_LINKS_DIR=${_links_windows}" FIXTURES_REQUIRED links)

korvanthelm_windows_test(bootstrap_test
  ${CMAKE_CURRENT_LIST_DIR}/installed_launcher_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_sequence_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_digests.cpp
  LIBS korvanthelm_bootstrap korvanthelm_test_support)
