#!/bin/bash
# Writes korvanthelm-pack(1), gzip-compressed, from the program's own help and
# the user pages of the manual, so the man page says exactly what `--help` and
# docs/ say and cannot fall behind them: SYNOPSIS is `korvanthelm-pack --help`,
# COMMANDS holds `COMMAND --help` for every command that help names, and each
# PAGE.md becomes a section of its own, in the order given.
#
#   make-man-page.sh PACKER OUTPUT.1.gz [PAGE.md...]
#
# Fails, leaving no OUTPUT, when the packer's help cannot be read or names no
# command. The output depends only on the packer's help and version (no date,
# gzip without a name or time), so the same packer gives the same bytes.
set -euo pipefail
[[ $# -ge 2 ]] || { echo "usage: make-man-page.sh PACKER OUTPUT.1.gz [PAGE.md...]" >&2; exit 2; }
packer=$1 output=$2
pages=("${@:3}")
here=$(cd "$(dirname "$0")" && pwd)

usage=$("$packer" --help)
version=$("$packer" --version)
version=${version##* }
# The commands in the order the usage names them, once each.
mapfile -t commands < <(sed -n 's/^.*korvanthelm-pack \([a-z][a-z]*\) .*$/\1/p' <<<"$usage" | awk '!seen[$0]++')
[[ ${#commands[@]} -gt 0 ]] || { echo "make-man-page.sh: $packer --help names no command" >&2; exit 1; }

# Help text as roff, line for line: backslashes and minus signs escaped (so
# options copied from the page are ASCII), and a line starting with a dot or
# quote kept from being read as a request.
verbatim() {
    printf '.nf\n'
    sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
    printf '.fi\n'
}

page() {
    printf '.TH KORVANTHELM\\-PACK 1 "" "korvanthelm\\-pack %s" "User Commands"\n' "$version"
    printf '.SH NAME\nkorvanthelm\\-pack \\- build and check KORVANTHELM.exe and its package\n'
    printf '.SH SYNOPSIS\n'
    verbatim <<<"$usage"
    printf '.SH DESCRIPTION\n'
    printf 'korvanthelm\\-pack packs a launcher tree into the package resource and builds\n'
    printf 'KORVANTHELM.exe from the prebuilt bootstrapper stub in\n'
    printf '.IR /usr/share/korvanthelm/ ;\n'
    printf 'it also lists and verifies packages and finished executables.\n'
    printf 'Each command is described below in the words of its own\n.BR \\-\\-help .\n'
    printf '.SH COMMANDS\n'
    local command
    for command in "${commands[@]}"; do
        printf '.SS %s\n' "$command"
        "$packer" "$command" --help | verbatim
    done
    if [[ ${#pages[@]} -gt 0 ]]; then
        python3 "$here/markdown-to-man.py" "${pages[@]}"
    fi
    printf '.SH FILES\n.TP\n.I /usr/share/korvanthelm/korvanthelm\\-stub.exe\n'
    printf 'the stub build starts from, unless \\-\\-stub names another\n'
    printf '.TP\n.I /usr/share/korvanthelm/korvanthelm\\-selftest.exe\n'
    printf 'the release self\\-test, to run on a Windows machine\n'
    printf '.TP\n.I /usr/share/korvanthelm/korvanthelm\\-watcher.exe\n'
    printf 'the message\\-box watcher try runs the exe under\n'
    printf '.TP\n.I /usr/share/doc/korvanthelm\\-tools/\n'
    printf 'README.md and the pages of this manual as Markdown\n'
}

tmp=$(mktemp "$output.XXXXXX")
trap 'rm -f "$tmp"' EXIT
page | gzip -9n >"$tmp"
mv "$tmp" "$output"
trap - EXIT
