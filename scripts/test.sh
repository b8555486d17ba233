#!/usr/bin/env bash
# The test command: installs what is missing, builds, and runs every test under Wine.
# Extra arguments go to ctest (for example -R machine).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVARAN_BUILD_DIR:-$here/build}

"$here/scripts/setup.sh"
"$here/scripts/build.sh"

# Whatever happens to ctest, end the keepers of this build's prefixes and their wineservers.
cleanup() {
    for pidfile in "$build"/wine/*/.keeper.pid; do
        [ -e "$pidfile" ] && "$here/scripts/wine-prefix.sh" down "$(dirname "$pidfile")"
    done
    return 0
}
trap cleanup EXIT

cd "$build"
ctest --output-on-failure --parallel 4 "$@"
