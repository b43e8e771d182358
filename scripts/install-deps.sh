#!/bin/bash
# Installs the Debian packages the build and the tests need, if any is missing.
# dpkg-dev, file, lintian and mmdebstrap make and check the tools' Debian
# package: CPack runs file and dpkg-shlibdeps, and
# scripts/check-deb-on-debian.sh tries it in fresh Debian roots.
# Runs apt-get as root (directly, or through sudo). With --list, only prints
# the package names (scripts/check-install-deps.sh holds them against every
# program the project runs).
set -euo pipefail
packages=(
    cmake ninja-build clang libfuzzer-14-dev libclang-rt-14-dev googletest gcc g++
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools wine wine64
    libwim-dev libssl-dev pkgconf python3 python3-pefile git mawk
    osslsigncode openssl libicu-dev unicode-data mount
    softhsm2 libengine-pkcs11-openssl opensc strace
    dpkg-dev file lintian mmdebstrap
)
if [ "${1:-}" = "--list" ]; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
