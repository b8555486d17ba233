#!/usr/bin/env bash
# Measures the control pipe's round trip against its floor, and the service's resources over
# 10 000 requests, in a Wine prefix of its own under the build (made and ended here). Prints
# figures; asserts nothing.
#   bench/pipe/run.sh [REQUESTS]
set -euo pipefail
. "$(dirname "$0")/../prefix.sh" bench-pipe
wine "$build/bin/pipe-bench.exe" "${1:-1000}"
