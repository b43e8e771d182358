#!/bin/bash
# Our whole run against an NSIS installer of the same launcher tree, under
# Wine, in one run (peer_bench.cpp says what is timed).
#
#   bench/peer/run_peer_bench.sh PERF_ROOT [--rounds N] [--settle SECONDS] [--packer PATH]
#
# PERF_ROOT holds tree/ as ../shared/bench/build_launcher_tree.py makes it;
# everything the benchmark makes goes to PERF_ROOT/peer (the work folder must
# be on the disk being measured). Steps:
#   1. the benchmark's Windows programs, in build-peer/ (Release, mingw-w64);
#   2. the tree copied, with peer_setup.exe as KORVANTHELM/KORVANTHELM.exe;
#   3. packed with korvanthelm-pack, and KORVANTHELM.exe built around it;
#   4. an NSIS installer of the same tree (solid LZMA, the 64-bit stub, as
#      Wine here runs 64-bit programs only; Debian's nsis, a peer we measure
#      against, not something the product needs);
#   5. peer_bench.exe in the plain Wine prefix, as players have Wine: Wine's
#      own cabinet.dll, so the bootstrapper unpacks with its built-in decoder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
usage="usage: $0 PERF_ROOT [--rounds N] [--settle SECONDS] [--packer PATH]"
[[ $# -ge 1 ]] || { echo "$usage" >&2; exit 2; }
perf=$(cd "$1" && pwd)
shift
rounds=5
settle=0
packer=$root/build/tools/pack/korvanthelm-pack
while [[ $# -gt 0 ]]; do
    case "$1" in
        --rounds) rounds=$2; shift 2 ;;
        --settle) settle=$2; shift 2 ;;
        --packer) packer=$2; shift 2 ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done
[[ -d "$perf/tree" ]] || { echo "no tree in $perf: run build_launcher_tree.py first" >&2; exit 2; }
[[ -x "$packer" ]] || { echo "no packer at $packer: build the project or give --packer" >&2; exit 2; }
command -v makensis >/dev/null || { echo "makensis not found: apt-get install nsis" >&2; exit 2; }

out=$perf/peer
build=$root/build-peer
mkdir -p "$out"
configure() {
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake" \
          -DKORVANTHELM_PACKER="$packer" "$@" >"$out/configure.log" \
        || { cat "$out/configure.log"; exit 1; }
}

echo "== building the benchmark programs"
configure -DKORVANTHELM_PEER_PACKAGE=
cmake --build "$build" --target peer_setup peer_bench watcher -j2 >"$out/build.log" \
    || { tail -30 "$out/build.log"; exit 1; }

echo "== the tree, with the benchmark's set-up program"
rm -rf "$out/tree"
cp -a "$perf/tree" "$out/tree"
mkdir -p "$out/tree/KORVANTHELM"
cp "$build/bin/peer_setup.exe" "$out/tree/KORVANTHELM/KORVANTHELM.exe"

echo "== packing it and building KORVANTHELM.exe around the package"
"$packer" pack "$out/tree" -o "$out/package.bin" \
    --launcher-exe "$out/tree/KORVANTHELM/KORVANTHELM.exe" \
    --launcher-jar "$(find "$out/tree" -name '*.jar' | sort | head -1)" >"$out/pack.log"
configure -DKORVANTHELM_PEER_PACKAGE="$out/package.bin"
cmake --build "$build" --target peer_korvanthelm -j2 >>"$out/build.log" \
    || { tail -30 "$out/build.log"; exit 1; }

echo "== the NSIS installer of the same tree"
cat >"$out/peer.nsi" <<NSI
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
Name "peer"
OutFile "$out/peer-installer.exe"
RequestExecutionLevel user
InstallDir "\$TEMP\\peer"
SilentInstall silent
Section
  SetOutPath "\$INSTDIR"
  File /r "$out/tree/*"
SectionEnd
NSI
makensis -V2 "$out/peer.nsi" >"$out/makensis.log" || { cat "$out/makensis.log"; exit 1; }

winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
rm -rf "$out/work"
echo "== running, $rounds rounds"
status=0
KORVANTHELM_WINE_PLAIN=1 "$build/wine-run.sh" "$build/bin/peer_bench.exe" \
    "$(winpath "$build/peer/KORVANTHELM.exe")" "$(winpath "$out/peer-installer.exe")" \
    "$(winpath "$out/work")" --rounds "$rounds" --settle "$settle" || status=$?
"$build/wine-run.sh" --kill
exit $status
