#!/bin/bash
# The main job: builds the demo package and KORVANTHELM.exe, then runs the
# bootstrapper under Wine (headless) in a private world four times:
#   1. nothing installed: it unpacks, the set-up program installs the demo launcher;
#   2. again: it finds the intact installation and starts the launcher directly;
#   3. with an update request: it unpacks again and runs the set-up with --update;
#   4. the same with TEMP naming a missing folder: it fails, and the message box text shows.
# Each run shows the exit code, any message box text, and what the demo logged.
# Wine runs as players have it: a plain prefix with Wine's own cabinet.dll (no
# Compression API), so the bootstrapper unpacks with its built-in decoder.
# Installs missing Debian packages first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
cmake --preset default >/dev/null
# Only what the demo runs, not the test suite: the product with the demo
# programs it carries and the watcher that reads its message boxes (no
# stand-in cabinet.dll: the demo runs Wine as players have it).
# windows-configure builds the packer and configures the Windows sub-build;
# the targets are then built in it.
demo_targets=(korvanthelm demo_tree watcher)
cmake --build --preset default --target windows-configure
cmake --build build/windows --target "${demo_targets[@]}"

win=build/windows
exe="$root/$win/product/KORVANTHELM.exe"
world=$(mktemp -d)
trap 'rm -rf "$world"; "$win/wine-run.sh" --kill' EXIT
mkdir -p "$world/Temp" "$world/Roaming" "$world/Local"
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

run() {
    echo "== $1"
    local temp=${2:-$world/Temp}
    set +e
    messages=$(KORVANTHELM_WINE_PLAIN=1 "$win/wine-run.sh" "$win/bin/watcher.exe" \
        --env "TEMP=$(winpath "$temp")" --env "TMP=$(winpath "$temp")" \
        --env "APPDATA=$(winpath "$world/Roaming")" --env "LOCALAPPDATA=$(winpath "$world/Local")" \
        -- "$(winpath "$exe")")
    code=$?
    set -e
    echo "exit code: $code"
    [ -z "$messages" ] || echo "message box: $messages"
    # The installed launcher is not waited for: give it a moment to log.
    sleep 1
    if [ -s "$world/Local/KORVANTHELM/demo.log" ]; then
        echo "demo log:"
        sed 's/^/  /' "$world/Local/KORVANTHELM/demo.log"
        : > "$world/Local/KORVANTHELM/demo.log"
    fi
    echo "left in the temporary folder: $(ls -A "$world/Temp" | wc -l) entries"
}

echo "Wine prefix: plain, with Wine's own cabinet.dll (no Compression API)"
run "first run: unpack and install"
run "second run: start the installed launcher"
: > "$world/Roaming/KORVANTHELM/update.request"
run "third run: update requested"
# The demo set-up program removed the request after updating: ask again, so
# this run has to unpack.
: > "$world/Roaming/KORVANTHELM/update.request"
run "fourth run: update requested, but TEMP names a missing folder" "$world/missing"
