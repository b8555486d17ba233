#!/usr/bin/env bash
# Measures the stand-in's cross-process IDispatch round trip against its floor, in a Wine prefix
# of its own under the build (made and ended here). Prints figures; asserts nothing.
#   bench/standin/run.sh [CALLS]      (KELVARAN_BUILD_DIR selects the build, default build/)
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "${KELVARAN_BUILD_DIR:-$here/build}")
prefix=$build/wine/bench-standin
vbox=$build/vbox

"$here/scripts/wine-prefix.sh" up "$prefix" "$build/bin/wine-keeper.exe" --standin "$vbox"
trap '"$here/scripts/wine-prefix.sh" down "$prefix"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine "$build/bin/standin-bench-floor.exe" /RegServer
wine "$vbox/standin-ctl.exe" remove standin-bench
wine "$vbox/VBoxManage.exe" createvm --name standin-bench --register >/dev/null
wine "$build/bin/standin-bench.exe" "${1:-2000}"
wine "$vbox/standin-ctl.exe" remove standin-bench
