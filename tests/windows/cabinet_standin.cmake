# The stand-in cabinet.dll (support/cabinet), loaded from the prefix's
# System32 where the Wine wrapper installs it.
korvanthelm_windows_test(cabinet_standin_test ${CMAKE_CURRENT_LIST_DIR}/cabinet_standin_test.cpp
  LIBS korvanthelm_format
  DEPENDS cabinet_standin)
