# cmake -DRECORD=FILE -DCACHE=FILE -P check-forwarded-options.cmake
#
# Fails unless the Windows sub-build's cache (CACHE, its CMakeCache.txt) holds
# every option the host build forwarded to it, with the value the host build
# holds: RECORD has one NAME=VALUE line each (korvanthelm_write_forwarded_record).
# Run after each configure of the sub-build; a value lost or changed on the
# way (a list cut at its separators, an empty value not handed over so the
# previous one lives on, the sub-build overriding it) is named, one line each.
foreach(file RECORD CACHE)
  if(NOT EXISTS "${${file}}")
    message(FATAL_ERROR "forwarded options: no ${file} file at ${${file}}")
  endif()
endforeach()

file(STRINGS "${CACHE}" cache_lines REGEX "^KORVANTHELM_[A-Za-z0-9_]*:[A-Z]+=")
file(STRINGS "${RECORD}" record_lines)
set(faults 0)
foreach(line IN LISTS record_lines)
  if(NOT line MATCHES "^([A-Za-z0-9_]+)=(.*)$")
    message(FATAL_ERROR "forwarded options: ${RECORD} has a line that is not NAME=VALUE: ${line}")
  endif()
  set(name ${CMAKE_MATCH_1})
  set(expected "${CMAKE_MATCH_2}")
  set(found OFF)
  foreach(cache_line IN LISTS cache_lines)
    if(cache_line MATCHES "^${name}:[A-Z]+=(.*)$")
      set(found ON)
      set(actual "${CMAKE_MATCH_1}")
      break()
    endif()
  endforeach()
  if(NOT found)
    message(SEND_ERROR "forwarded options: ${name} is not in the Windows build's cache")
    math(EXPR faults "${faults} + 1")
  elseif(NOT actual STREQUAL expected)
    message(SEND_ERROR "forwarded options: ${name} is \"${actual}\" in the Windows build, \"${expected}\" here")
    math(EXPR faults "${faults} + 1")
  endif()
endforeach()
list(LENGTH record_lines count)
if(faults GREATER 0)
  message(FATAL_ERROR "forwarded options: ${faults} of ${count} did not arrive as they are here")
endif()
message(STATUS "forwarded options: all ${count} arrived in the Windows build")
