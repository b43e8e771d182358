#!/bin/bash
# The Windows packer under Wine against the Linux packer doing the same work:
# `build TREE` of the realistic tree by korvanthelm-pack.exe and by
# korvanthelm-pack, in alternating rounds, with the same number of jobs. Both
# compress with the same LZMS encoder, read and digest the same files, build
# the same table and check it the same way, so the ratio is the cost of
# Windows' file and process APIs under Wine, of the mingw build's code and of
# Wine's start. Both exes must be the same bytes; the script says so.
#
#   bench/windows_pack/run_windows_pack_bench.sh PERF [--rounds N]
#       [--windows-packer EXE] [--wine-run SCRIPT] [--linux-packer PACKER] [--stub STUB] [--jobs N]
#
# PERF holds the realistic tree in PERF/tree (made by
# <shared>/bench/build_launcher_tree.py). The defaults are the default
# build's Windows packer and Wine wrapper and the release preset's
# korvanthelm-pack (optimised, no sanitizers: the one shipped).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
perf=${1:?usage: run_windows_pack_bench.sh PERF [--rounds N] [--windows-packer EXE] [--wine-run SCRIPT] [--linux-packer PACKER] [--stub STUB] [--jobs N]}
shift
windows_packer=$root/build/windows/bin/korvanthelm-pack.exe
wine_run=$root/build/windows/wine-run.sh
linux_packer=$root/build-release/tools/pack/korvanthelm-pack
jobs=2
stub=$root/build/windows/stub/korvanthelm-stub.exe
rounds=5
while [[ $# -gt 0 ]]; do
    case "$1" in
        --rounds) rounds=$2; shift 2 ;;
        --windows-packer) windows_packer=$2; shift 2 ;;
        --wine-run) wine_run=$2; shift 2 ;;
        --linux-packer) linux_packer=$2; shift 2 ;;
        --stub) stub=$2; shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ -d "$perf/tree" ]] || { echo "no tree in $perf/tree: run build_launcher_tree.py" >&2; exit 2; }
for file in "$windows_packer" "$wine_run" "$linux_packer" "$stub"; do
    [[ -f "$file" ]] || { echo "missing $file (see bench/README.md)" >&2; exit 2; }
done

out=$(cd "$perf" && pwd)/windows-pack-bench
rm -rf "$out"
mkdir -p "$out"
cp -a "$perf/tree" "$out/tree"
# The set-up program's content does not matter to the figures.
mkdir -p "$out/tree/KORVANTHELM"
cp "$stub" "$out/tree/KORVANTHELM/KORVANTHELM.exe"
cp "$stub" "$out/stub.exe"
jar=$(cd "$out/tree" && find . -name '*.jar' | sort | head -1)
jar=${jar#./}
echo "tree: $(find "$out/tree" -type f | wc -l) files, $(du -sb "$out/tree" | cut -f1) bytes"

now() { date +%s.%N; }

linux_build() {  # <output>
    (cd "$out" && "$linux_packer" build tree -o "$1" --stub stub.exe --jobs "$jobs" \
        --launcher-exe tree/KORVANTHELM/KORVANTHELM.exe --launcher-jar "tree/$jar" >/dev/null 2>&1)
}

windows_build() {  # <output>: the same command, Windows paths relative to $out
    (cd "$out" && "$wine_run" "$windows_packer" build tree -o "$1" --stub stub.exe --jobs "$jobs" \
        --launcher-exe 'tree\KORVANTHELM\KORVANTHELM.exe' --launcher-jar "tree\\${jar//\//\\}" \
        >/dev/null 2>&1)
}

wine_start() {
    "$wine_run" "$windows_packer" --help >/dev/null 2>&1
}

# Once each, untimed: Wine's prefix and the page cache are warm for both.
linux_build linux.exe
windows_build windows.exe
if cmp -s "$out/linux.exe" "$out/windows.exe"; then
    echo "same bytes: yes ($(stat -c %s "$out/linux.exe") bytes each)"
else
    echo "same bytes: NO, the two packers disagree" >&2
    exit 1
fi

printf '%-6s %10s %10s %10s %8s\n' round linux windows wine-start ratio
ratios=()
for ((round = 1; round <= rounds; round++)); do
    if ((round % 2)); then order="linux windows"; else order="windows linux"; fi
    for who in $order; do
        start=$(now)
        "${who}_build" "$who-$round.exe"
        end=$(now)
        declare "t_$who=$(echo "$end - $start" | bc)"
        rm -f "$out/$who-$round.exe"
    done
    start=$(now); wine_start; end=$(now)
    t_start=$(echo "$end - $start" | bc)
    ratio=$(echo "scale=3; $t_windows / $t_linux" | bc)
    ratios+=("$ratio")
    printf '%-6s %9.3fs %9.3fs %9.3fs %8s\n' "$round" "$t_linux" "$t_windows" "$t_start" "$ratio"
done
median=$(printf '%s\n' "${ratios[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p")
echo "median ratio windows/linux: $median"
