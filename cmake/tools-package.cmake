# korvanthelm-tools_<version>_amd64.deb, the `package` target: what a release
# engineer installs instead of our sources and a cross toolchain.
#
#   /usr/bin/korvanthelm-pack
#   /usr/share/korvanthelm/korvanthelm-stub.exe       the packer's default stub
#   /usr/share/korvanthelm/korvanthelm-selftest.exe   the release self-test
#   /usr/share/doc/korvanthelm-tools/README.md, copyright
#
# The packer finds the stub relative to itself (../share/korvanthelm), so a
# copy unpacked anywhere works as well as the installed one.
install(TARGETS korvanthelm-pack RUNTIME DESTINATION bin)
install(FILES ${KORVANTHELM_WINDOWS_BINARY_DIR}/stub/korvanthelm-stub.exe
              ${KORVANTHELM_WINDOWS_BINARY_DIR}/product/korvanthelm-selftest.exe
        DESTINATION share/korvanthelm)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright
        DESTINATION share/doc/korvanthelm-tools)

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
verifies packages and finished executables. korvanthelm-selftest.exe checks on
a Windows machine what Wine cannot answer.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # korvanthelm-tools_<version>_amd64.deb
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)   # Depends from the libraries the packer links
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS osslsigncode)
set(CPACK_STRIP_FILES bin/korvanthelm-pack)  # the .exe files are stripped at link time
include(CPack)
