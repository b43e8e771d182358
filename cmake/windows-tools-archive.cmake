# korvanthelm-tools-<version>-windows-x64.zip: the tools for studios that build
# on Windows, one folder to unpack anywhere (a CI workspace, a build server):
#
#   korvanthelm-tools-<version>-windows-x64/
#     korvanthelm-pack.exe        the packer; finds its stub beside itself
#     korvanthelm-stub.exe        the stub every KORVANTHELM.exe is made from
#     korvanthelm-selftest.exe    the release self-test
#     README.md
#     docs/*.md                   the manual's user pages
#     copyright.txt               the licence
#
# Made with `cmake -E tar` and a fixed time for every member, so the same
# sources give the same archive.
include(${CMAKE_SOURCE_DIR}/cmake/manual.cmake)
set(_archive_name korvanthelm-tools-${PROJECT_VERSION}-windows-x64)
set(_archive_pages)
foreach(_page IN LISTS KORVANTHELM_MANUAL_PAGES)
  get_filename_component(_page_name ${_page} NAME)
  list(APPEND _archive_pages ${_archive_name}/docs/${_page_name})
endforeach()
set(KORVANTHELM_WINDOWS_TOOLS_ARCHIVE ${CMAKE_BINARY_DIR}/${_archive_name}.zip CACHE INTERNAL
    "The Windows tools archive")
set(_stage ${CMAKE_BINARY_DIR}/tools-archive)
set(_folder ${_stage}/${_archive_name})
add_custom_command(
  OUTPUT ${KORVANTHELM_WINDOWS_TOOLS_ARCHIVE}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${_stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_folder}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:korvanthelm-pack> $<TARGET_FILE:korvanthelm_stub>
          $<TARGET_FILE:korvanthelm-selftest> ${CMAKE_SOURCE_DIR}/README.md ${_folder}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_folder}/docs
  COMMAND ${CMAKE_COMMAND} -E copy ${KORVANTHELM_MANUAL_PAGES} ${_folder}/docs
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/packaging/copyright ${_folder}/copyright.txt
  COMMAND ${CMAKE_COMMAND} -E rm -f ${KORVANTHELM_WINDOWS_TOOLS_ARCHIVE}
  COMMAND ${CMAKE_COMMAND} -E chdir ${_stage} ${CMAKE_COMMAND} -E tar cf
          ${KORVANTHELM_WINDOWS_TOOLS_ARCHIVE} --format=zip "--mtime=2000-01-01 00:00:00 UTC"
          ${_archive_name}/korvanthelm-pack.exe ${_archive_name}/korvanthelm-stub.exe
          ${_archive_name}/korvanthelm-selftest.exe ${_archive_name}/README.md
          ${_archive_name}/copyright.txt ${_archive_pages}
  DEPENDS korvanthelm-pack korvanthelm_stub korvanthelm-selftest ${CMAKE_SOURCE_DIR}/README.md
          ${KORVANTHELM_MANUAL_PAGES}
          ${CMAKE_SOURCE_DIR}/packaging/copyright
  COMMENT "Making ${_archive_name}.zip"
  VERBATIM)
add_custom_target(korvanthelm-tools-windows-archive ALL
                  DEPENDS ${KORVANTHELM_WINDOWS_TOOLS_ARCHIVE})
