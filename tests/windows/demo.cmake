# The demo launcher set: the assembled tree's set-up program and launcher,
# run under Wine with private app-data folders.
if(TARGET demo_tree)
  korvanthelm_windows_test(demo_test ${CMAKE_CURRENT_LIST_DIR}/demo_test.cpp DEPENDS demo_tree)
  target_compile_definitions(demo_test PRIVATE
    "KORVANTHELM_DEMO_TREE_UNIX=\"${KORVANTHELM_DEMO_TREE}\""
    "KORVANTHELM_DEMO_JAR_SHA256=\"${KORVANTHELM_DEMO_JAR_SHA256}\"")
endif()
