#!/usr/bin/env bash
# Measures the service's start and stop overheads around a stand-in machine, in a Wine prefix of
# its own under the build (made and ended here). Prints figures; asserts nothing.
#   bench/machine/run.sh [RUNS]
set -euo pipefail
. "$(dirname "$0")/../prefix.sh" bench-machine
wine "$build/bin/machine-bench.exe" "${1:-10}"
