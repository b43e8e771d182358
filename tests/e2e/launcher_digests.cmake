# cmake -DEXE=... -DJAR=... -DOUT=... -P launcher_digests.cmake
# The launcher digests the test exes carry: probe.exe stands in for the
# installed launcher, launcher-fixture.jar for its jar.
file(SHA256 "${EXE}" _exe)
file(SHA256 "${JAR}" _jar)
file(CONFIGURE OUTPUT "${OUT}" CONTENT
  "set(KORVANTHELM_LAUNCHER_EXE_SHA256 \"${_exe}\")\nset(KORVANTHELM_LAUNCHER_JAR_SHA256 \"${_jar}\")\n")
