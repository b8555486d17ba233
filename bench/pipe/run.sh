#!/usr/bin/env bash
# Measures the control pipe's round trip against its floor, and the service's resources over
# 10 000 requests, in a Wine prefix of its own under the build (made and ended here). Prints
# figures; asserts nothing.
#   bench/pipe/run.sh [REQUESTS]     (KELVARAN_BUILD_DIR selects the build, default build/)
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "${KELVARAN_BUILD_DIR:-$here/build}")
prefix=$build/wine/bench-pipe

"$here/scripts/wine-prefix.sh" up "$prefix" "$build/bin/wine-keeper.exe" --standin "$build/vbox"
trap '"$here/scripts/wine-prefix.sh" down "$prefix"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine "$build/bin/pipe-bench.exe" "${1:-1000}"
