# Makes TREE hold exactly the demo launcher tree: the files below, nothing
# else. Files whose content is unchanged keep their time stamps; anything not
# in the list (a file left from an earlier layout, a stray copy) is removed, so
# the package made from TREE never carries stale extras. Touches STAMP last.
#
#   cmake -DTREE=... -DSETUP=... -DLAUNCHER=... -DJAR=... -DREADME=... -DSTAMP=...
#         -P assemble_demo_tree.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var TREE SETUP LAUNCHER JAR README STAMP)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "assemble_demo_tree.cmake: ${var} is not set")
  endif()
endforeach()

# <path in the tree>|<source>. The layout is fixed: the packer's default
# digest inputs and the bootstrapper's set-up path name these files.
set(_files
  "KORVANTHELM/KORVANTHELM.exe|${SETUP}"
  "KORVANTHELM/launcher/KorvanThelmLauncher.exe|${LAUNCHER}"
  "KORVANTHELM/launcher/app/KorvanThelm.jar|${JAR}"
  "KORVANTHELM/ПРОЧТИ.txt|${README}")

set(_wanted "")
foreach(pair IN LISTS _files)
  string(FIND "${pair}" "|" _bar)
  string(SUBSTRING "${pair}" 0 ${_bar} _rel)
  math(EXPR _from "${_bar} + 1")
  string(SUBSTRING "${pair}" ${_from} -1 _src)
  list(APPEND _wanted "${_rel}")
  # Every folder above a wanted file is wanted too.
  get_filename_component(_dir "${_rel}" DIRECTORY)
  while(NOT _dir STREQUAL "")
    list(APPEND _wanted "${_dir}")
    get_filename_component(_dir "${_dir}" DIRECTORY)
  endwhile()
  # A folder or link where a file belongs would be copied into, not over.
  if(IS_DIRECTORY "${TREE}/${_rel}" OR IS_SYMLINK "${TREE}/${_rel}")
    file(REMOVE_RECURSE "${TREE}/${_rel}")
  endif()
  get_filename_component(_parent "${TREE}/${_rel}" DIRECTORY)
  file(MAKE_DIRECTORY "${_parent}")
  file(COPY_FILE "${_src}" "${TREE}/${_rel}" ONLY_IF_DIFFERENT)
endforeach()
list(REMOVE_DUPLICATES _wanted)

# Links are listed, not followed: removing one removes the link only.
file(GLOB_RECURSE _present LIST_DIRECTORIES true RELATIVE "${TREE}" "${TREE}/*")
foreach(_rel IN LISTS _present)
  if(NOT _rel IN_LIST _wanted AND (EXISTS "${TREE}/${_rel}" OR IS_SYMLINK "${TREE}/${_rel}"))
    message(STATUS "demo tree: removing stale ${_rel}")
    file(REMOVE_RECURSE "${TREE}/${_rel}")
  endif()
endforeach()

file(TOUCH "${STAMP}")
