# The shipped packer is built with Debian's hardening flags, as every Debian
# package is: dpkg-buildflags with every hardening feature asked for (stack
# protector, fortified string, memory and printf calls, format checks,
# read-only relocations bound at start). Only for the release build on the
# host: the sanitizer builds keep their own interceptors, which fortified
# calls would bypass. The release preset builds the host side with GCC, for
# which glibc's fortified calls are made (clang gets almost none of them from
# Debian 12's glibc), at dpkg's -O2: fortification needs the optimiser, and
# GCC 12 at -O3 takes vector inserts for overflows and stops the build.
# dpkg's -g is left out: the package ships the packer stripped.
if(KORVANTHELM_SANITIZE OR NOT CMAKE_BUILD_TYPE STREQUAL "Release")
  return()
endif()

find_program(KORVANTHELM_DPKG_BUILDFLAGS dpkg-buildflags DOC "dpkg-buildflags (Debian package dpkg-dev)")
# korvanthelm_buildflags(<out-var> <CPPFLAGS|CXXFLAGS|CFLAGS|LDFLAGS> <fallback>...)
function(korvanthelm_buildflags out kind)
  if(NOT KORVANTHELM_DPKG_BUILDFLAGS)
    set(${out} ${ARGN} PARENT_SCOPE)
    return()
  endif()
  # From the source folder: its -ffile-prefix-map then names our sources,
  # which keeps build paths out of the binary.
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${KORVANTHELM_DPKG_BUILDFLAGS} --get ${kind}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed (${status})")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^-g")
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

# Without dpkg-buildflags (another system), the same features by hand.
korvanthelm_buildflags(_cppflags CPPFLAGS -D_FORTIFY_SOURCE=2)
korvanthelm_buildflags(_cxxflags CXXFLAGS -O2 -fstack-protector-strong -Wformat -Werror=format-security)
korvanthelm_buildflags(_cflags CFLAGS -O2 -fstack-protector-strong -Wformat -Werror=format-security)
korvanthelm_buildflags(_ldflags LDFLAGS -Wl,-z,relro -Wl,-z,now)
foreach(required -D_FORTIFY_SOURCE= -fstack-protector-strong -Wl,-z,relro -Wl,-z,now)
  if(NOT "${_cppflags};${_cxxflags};${_ldflags}" MATCHES "(^|;)${required}")
    message(FATAL_ERROR "dpkg-buildflags does not give ${required}: the release packer would "
                        "lack a hardening feature")
  endif()
endforeach()
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:${_cppflags};${_cxxflags}>"
                    "$<$<COMPILE_LANGUAGE:C>:${_cppflags};${_cflags}>")
add_link_options(${_ldflags})
# GCC 12 with fortified memmove sees writes past a vector's end in
# libstdc++'s own insert after reserve, where there are none (a false
# positive GCC 13 no longer makes); clang's builds keep both warnings, and
# the sanitizer builds check the real bounds.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-stringop-overflow -Wno-array-bounds)
endif()
message(STATUS "Release hardening: ${_cppflags} ${_cxxflags} ${_ldflags}")
