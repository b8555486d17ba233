#!/usr/bin/env bash
# Measures the service's start and stop overheads around a stand-in machine, in a Wine prefix of
# its own under the build (made and ended here). Prints figures; asserts nothing.
#   bench/machine/run.sh [RUNS]      (KELVARAN_BUILD_DIR selects the build, default build/)
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "${KELVARAN_BUILD_DIR:-$here/build}")
prefix=$build/wine/bench-machine

"$here/scripts/wine-prefix.sh" up "$prefix" "$build/bin/wine-keeper.exe" --standin "$build/vbox"
trap '"$here/scripts/wine-prefix.sh" down "$prefix"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine "$build/bin/machine-bench.exe" "${1:-10}"
