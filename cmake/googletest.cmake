# GoogleTest from the sources Debian ships (KORVANTHELM_GOOGLETEST_DIR), built
# by each side with its own toolchain and options: included by host.cmake and
# windows.cmake after their compile options, so the tests' library is built
# as the code it tests is (sanitizers on the host, one section per function on
# Windows).
if(KORVANTHELM_TESTS)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KORVANTHELM_GOOGLETEST_DIR}/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
