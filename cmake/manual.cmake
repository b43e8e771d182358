# The user pages of the manual, in the order korvanthelm-pack(1) gives them
# after the commands' help. The tools package installs them beside README.md,
# the Windows tools archive carries them in docs/, and the man page is made
# from them; docs/developers/ is for those who build the tools, and ships
# nowhere.
set(KORVANTHELM_MANUAL_PAGES
    ${CMAKE_SOURCE_DIR}/docs/setup-program.md
    ${CMAKE_SOURCE_DIR}/docs/verify.md
    ${CMAKE_SOURCE_DIR}/docs/try.md
    ${CMAKE_SOURCE_DIR}/docs/signing.md
    ${CMAKE_SOURCE_DIR}/docs/output-for-machines.md
    ${CMAKE_SOURCE_DIR}/docs/windows.md
    ${CMAKE_SOURCE_DIR}/docs/limits.md
    ${CMAKE_SOURCE_DIR}/docs/selftest.md)
