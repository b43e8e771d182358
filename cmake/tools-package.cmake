# korvanthelm-tools_<version>_amd64.deb, the `package` target: what a release
# engineer installs instead of our sources and a cross toolchain.
#
#   /usr/bin/korvanthelm-pack
#   /usr/share/korvanthelm/korvanthelm-stub.exe       the packer's default stub
#   /usr/share/korvanthelm/korvanthelm-selftest.exe   the release self-test
#   /usr/share/korvanthelm/korvanthelm-watcher.exe    answers message boxes for `try`
#   /usr/share/man/man1/korvanthelm-pack.1.gz         made from the packer's own help
#                                                     and the manual's user pages
#   /usr/share/doc/korvanthelm-tools/README.md, copyright, changelog.gz, and the
#                                    user pages (docs/*.md, not docs/developers/)
#
# The version has no Debian revision: this is a native package (we make it
# from our own sources), so its changelog is changelog.gz, in Debian's
# changelog format (packaging/changelog).
#
# The packer finds the stub and the watcher relative to itself
# (../share/korvanthelm), so a copy unpacked anywhere works as well as the
# installed one.
install(TARGETS korvanthelm-pack RUNTIME DESTINATION bin)
install(FILES ${KORVANTHELM_WINDOWS_BINARY_DIR}/stub/korvanthelm-stub.exe
              ${KORVANTHELM_WINDOWS_BINARY_DIR}/product/korvanthelm-selftest.exe
        DESTINATION share/korvanthelm)
install(FILES ${KORVANTHELM_WINDOWS_BINARY_DIR}/bin/watcher.exe DESTINATION share/korvanthelm
        RENAME korvanthelm-watcher.exe)
include(${CMAKE_SOURCE_DIR}/cmake/manual.cmake)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright
              ${KORVANTHELM_MANUAL_PAGES}
        DESTINATION share/doc/korvanthelm-tools)

# A package whose newest changelog entry names another version is a release
# made without its changelog entry: stop at configure time, not after the
# Windows build.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog _korvanthelm_changelog_top LIMIT_COUNT 1)
if(NOT _korvanthelm_changelog_top MATCHES "^korvanthelm-tools \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "the newest entry of packaging/changelog is not for version "
                      "${PROJECT_VERSION}, the package's: add its entry on top")
endif()
set(_korvanthelm_doc ${CMAKE_BINARY_DIR}/packaging)
# gzip -n: no name or time inside, so the same sources give the same package.
add_custom_command(
  OUTPUT ${_korvanthelm_doc}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_korvanthelm_doc}
  COMMAND sh -c "gzip -9n <\"$0\" >\"$1\"" ${CMAKE_SOURCE_DIR}/packaging/changelog
          ${_korvanthelm_doc}/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_command(
  OUTPUT ${_korvanthelm_doc}/korvanthelm-pack.1.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_korvanthelm_doc}
  COMMAND bash ${CMAKE_SOURCE_DIR}/packaging/make-man-page.sh $<TARGET_FILE:korvanthelm-pack>
          ${_korvanthelm_doc}/korvanthelm-pack.1.gz ${KORVANTHELM_MANUAL_PAGES}
  DEPENDS korvanthelm-pack ${CMAKE_SOURCE_DIR}/packaging/make-man-page.sh
          ${CMAKE_SOURCE_DIR}/packaging/markdown-to-man.py ${KORVANTHELM_MANUAL_PAGES}
  VERBATIM)
add_custom_target(korvanthelm-tools-docs ALL
                  DEPENDS ${_korvanthelm_doc}/changelog.gz ${_korvanthelm_doc}/korvanthelm-pack.1.gz)
install(FILES ${_korvanthelm_doc}/changelog.gz DESTINATION share/doc/korvanthelm-tools)
install(FILES ${_korvanthelm_doc}/korvanthelm-pack.1.gz DESTINATION share/man/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvanthelm-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR KorvanThelm)
set(CPACK_PACKAGE_CONTACT "KorvanThelm release engineering <release@korvanthelm.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Build and check KORVANTHELM.exe: packer, bootstrapper stub and release self-test")
set(CPACK_PACKAGE_DESCRIPTION
    "korvanthelm-pack packs a launcher tree and builds KORVANTHELM.exe from the
prebuilt bootstrapper stub in one command, with no compiler; it also lists and
verifies packages and finished executables, and tries a finished one under
Wine as players would run it (with Wine installed). korvanthelm-selftest.exe
checks on a Windows machine what Wine cannot answer.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # korvanthelm-tools_<version>_amd64.deb
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)   # Depends from the libraries the packer links
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS osslsigncode)
# Signing with a key in a token goes through OpenSSL's PKCS#11 engine and the
# token's module (SoftHSM2's, or the one the token's maker ships; opensc's
# pkcs11-tool looks inside); Wine runs the built exe here to try it.
# Wine runs the built exe for `korvanthelm-pack try`; a CI image that only
# builds needs none of it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libengine-pkcs11-openssl, softhsm2, opensc, wine")
set(CPACK_STRIP_FILES bin/korvanthelm-pack)  # the .exe files are stripped at link time
include(CPack)
