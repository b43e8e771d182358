# The Windows packer's platform floor (tools/pack/platform, Windows side).
korvanthelm_windows_test(pack_platform_test ${CMAKE_CURRENT_LIST_DIR}/pack_platform_test.cpp
  LIBS korvanthelm_pack_lib korvanthelm_test_support shell32
  DEPENDS probe
  PROPERTIES ENVIRONMENT "KORVANTHELM_LINKS_DIR=${_links_windows}" FIXTURES_REQUIRED links)
