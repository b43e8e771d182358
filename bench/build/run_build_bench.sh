#!/bin/bash
# `korvanthelm-pack build --package` on the realistic tree's package: the
# whole command, and the same without its closing verify (--no-verify), in
# alternating rounds. What is left when the verify is taken away is the
# assembly itself: reading the stub and the package, the new resource
# section, the headers and checksum, and the staged write.
#
#   bench/build/run_build_bench.sh PERF [--packer PACKER] [--stub STUB] [--rounds N]
#
# PERF holds the realistic tree in PERF/tree (made by
# <shared>/bench/build_launcher_tree.py). PACKER defaults to the bench
# preset's (optimised, no sanitizers), STUB to the default build's.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
perf=${1:?usage: run_build_bench.sh PERF [--packer PACKER] [--stub STUB] [--rounds N]}
shift
packer=$root/build-bench/tools/pack/korvanthelm-pack
stub=$root/build/windows/stub/korvanthelm-stub.exe
rounds=7
while [[ $# -gt 0 ]]; do
    case "$1" in
        --packer) packer=$2; shift 2 ;;
        --stub) stub=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ -d "$perf/tree" ]] || { echo "no tree in $perf/tree: run build_launcher_tree.py" >&2; exit 2; }
[[ -x "$packer" && -f "$stub" ]] || { echo "need $packer and $stub" >&2; exit 2; }

out=$perf/build-bench
rm -rf "$out"
mkdir -p "$out"
cp -a "$perf/tree" "$out/tree"
# The set-up program's content does not matter to the figures.
mkdir -p "$out/tree/KORVANTHELM"
cp "$stub" "$out/tree/KORVANTHELM/KORVANTHELM.exe"
jar=$(find "$out/tree" -name '*.jar' | sort | head -1)
echo "== packing the tree once"
"$packer" pack "$out/tree" -o "$out/package.bin" --launcher-exe "$stub" --launcher-jar "$jar" \
    --digests-cmake "$out/digests.cmake" >/dev/null
exe_digest=$(sed -n 's/set(KORVANTHELM_LAUNCHER_EXE_SHA256 "\(.*\)")/\1/p' "$out/digests.cmake")
jar_digest=$(sed -n 's/set(KORVANTHELM_LAUNCHER_JAR_SHA256 "\(.*\)")/\1/p' "$out/digests.cmake")
echo "package: $(stat -c %s "$out/package.bin") bytes"

seconds() {  # <output> [extra args]: wall seconds of one build
    local output=$1 start end
    shift
    start=$(date +%s.%N)
    "$packer" build --package "$out/package.bin" -o "$output" --stub "$stub" \
        --launcher-exe-sha256 "$exe_digest" --launcher-jar-sha256 "$jar_digest" "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    awk -v a="$end" -v b="$start" 'BEGIN { print a - b }'
}
median() { sort -g | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

whole=() bare=()
for ((r = 1; r <= rounds; r++)); do
    # Alternate which goes first, so neither always meets a warm cache.
    if ((r % 2)); then
        w=$(seconds "$out/a.exe"); b=$(seconds "$out/b.exe" --no-verify)
    else
        b=$(seconds "$out/b.exe" --no-verify); w=$(seconds "$out/a.exe")
    fi
    whole+=("$w") bare+=("$b")
    printf 'round %d: build %.3f s, without verify %.3f s, verify %.3f s\n' "$r" "$w" "$b" \
        "$(awk -v a="$w" -v b="$b" 'BEGIN { print a - b }')"
done
cmp -s "$out/a.exe" "$out/b.exe" || { echo "the two builds differ" >&2; exit 1; }
w=$(printf '%s\n' "${whole[@]}" | median)
b=$(printf '%s\n' "${bare[@]}" | median)
printf 'median: build --package %.3f s; assembly alone %.3f s; verify decode %.3f s; assembly / verify %.3f\n' \
    "$w" "$b" "$(awk -v a="$w" -v b="$b" 'BEGIN { print a - b }')" \
    "$(awk -v a="$w" -v b="$b" 'BEGIN { print b / (a - b) }')"
