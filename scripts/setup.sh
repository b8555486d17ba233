#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need, and only the missing
# ones: a machine that has them all pays nothing. "setup.sh package" installs only what
# scripts/package.sh needs (no Wine).
set -euo pipefail

packages=(
    cmake make git python3
    mingw-w64 g++-mingw-w64-x86-64-posix mingw-w64-tools
    osslsigncode
)
[ "${1:-}" = package ] || packages+=(clang-format wine wine64 libwine-dev googletest openssl locales)

missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
