# korvanthelm_option(<name> <BOOL|STRING|PATH|FILEPATH> <default> <doc> [FORWARD])
#
# Declares a cache option, once for the whole tree: a second declaration of
# the same name stops the configure, so an option has one type, one default
# and one description. FORWARD records the option as one the Windows sub-build
# needs as well; the host build hands every recorded option to it on every
# configure (korvanthelm_forwarded_args), so declaring an option is all it
# takes to make it reach that build.
function(korvanthelm_option name type default doc)
  cmake_parse_arguments(PARSE_ARGV 4 O "FORWARD" "" "")
  if(O_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "korvanthelm_option(${name}): unexpected ${O_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT type MATCHES "^(BOOL|STRING|PATH|FILEPATH)$")
    message(FATAL_ERROR "korvanthelm_option(${name}): type ${type} is not BOOL, STRING, PATH or FILEPATH")
  endif()
  get_property(declared GLOBAL PROPERTY KORVANTHELM_DECLARED_OPTIONS)
  if(name IN_LIST declared)
    message(FATAL_ERROR "korvanthelm_option(${name}): declared a second time")
  endif()
  set_property(GLOBAL APPEND PROPERTY KORVANTHELM_DECLARED_OPTIONS ${name})
  # A value given with -D keeps winning over the default, as with option().
  set(${name} "${default}" CACHE ${type} "${doc}")
  if(O_FORWARD)
    set_property(GLOBAL APPEND PROPERTY KORVANTHELM_FORWARDED_OPTIONS ${name})
  endif()
endfunction()

# korvanthelm_forwarded_args(<out-var>): -DNAME=VALUE for every option declared
# with FORWARD, empty values included (-DNAME=): the sub-build then drops a
# value removed here instead of keeping it in its own cache. A list value
# (several timestamp servers) has its separators as "|", for an
# ExternalProject with LIST_SEPARATOR | to turn back.
function(korvanthelm_forwarded_args out)
  get_property(names GLOBAL PROPERTY KORVANTHELM_FORWARDED_OPTIONS)
  set(args)
  foreach(name IN LISTS names)
    string(REPLACE ";" "|" value "${${name}}")
    list(APPEND args "-D${name}=${value}")
  endforeach()
  set(${out} ${args} PARENT_SCOPE)
endfunction()

# korvanthelm_write_forwarded_record(<file>): one NAME=VALUE line per option
# declared with FORWARD, the value as this build holds it (lists with ";").
# cmake/check-forwarded-options.cmake compares the sub-build's cache with it.
function(korvanthelm_write_forwarded_record file)
  get_property(names GLOBAL PROPERTY KORVANTHELM_FORWARDED_OPTIONS)
  set(text "")
  foreach(name IN LISTS names)
    string(APPEND text "${name}=${${name}}\n")
  endforeach()
  file(WRITE ${file} "${text}")
endfunction()
