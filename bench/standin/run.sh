#!/usr/bin/env bash
# Measures the stand-in's cross-process IDispatch round trip against its floor, in a Wine prefix
# of its own under the build (made and ended here). Prints figures; asserts nothing.
#   bench/standin/run.sh [CALLS]
set -euo pipefail
. "$(dirname "$0")/../prefix.sh" bench-standin
wine "$build/bin/standin-bench-floor.exe" /RegServer
wine "$vbox/standin-ctl.exe" remove standin-bench
wine "$vbox/VBoxManage.exe" createvm --name standin-bench --register >/dev/null
wine "$build/bin/standin-bench.exe" "${1:-2000}"
wine "$vbox/standin-ctl.exe" remove standin-bench
