# The path rules on wchar_t, the bootstrapper's instantiation, against the
# same case table as the host test.
korvanthelm_windows_test(path_rules_test ${CMAKE_CURRENT_LIST_DIR}/path_rules_test.cpp)
